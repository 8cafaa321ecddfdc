// SPDX-License-Identifier: Zlib
#include "fuzz/mspack_memory.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <mspack.h>

namespace packer::fuzz {
namespace {

constexpr char kCabinetName[] = "cabinet";
constexpr char kFileName[] = "file";

// libmspack's files: the cabinet, read from memory, and the extracted file, kept in memory.
struct MemoryHandle {
  const std::vector<std::uint8_t> *in = nullptr;
  std::vector<std::uint8_t> *out = nullptr;
  std::size_t position = 0;
};

// The system libmspack is given; its callbacks reach the buffers through `self`.
struct MemorySystem {
  mspack_system base; // first, so that a pointer to it is a pointer to this
  const std::vector<std::uint8_t> *cabinet;
  std::vector<std::uint8_t> *file;
  MemoryHandle handles[2];
};

MemoryHandle *Handle(mspack_file *file) { return reinterpret_cast<MemoryHandle *>(file); }

mspack_file *Open(mspack_system *self, const char *name, int mode) {
  auto *system = reinterpret_cast<MemorySystem *>(self);
  if (mode == MSPACK_SYS_OPEN_READ && std::strcmp(name, kCabinetName) == 0) {
    system->handles[0] = {system->cabinet, nullptr, 0};
    return reinterpret_cast<mspack_file *>(&system->handles[0]);
  }
  if (mode == MSPACK_SYS_OPEN_WRITE && std::strcmp(name, kFileName) == 0) {
    system->file->clear();
    system->handles[1] = {nullptr, system->file, 0};
    return reinterpret_cast<mspack_file *>(&system->handles[1]);
  }
  return nullptr;
}

void Close(mspack_file *) {}

int Read(mspack_file *file, void *buffer, int bytes) {
  MemoryHandle *h = Handle(file);
  if (h->in == nullptr || bytes < 0) {
    return -1;
  }
  const std::size_t count = std::min(static_cast<std::size_t>(bytes),
                                     h->in->size() - std::min(h->position, h->in->size()));
  std::memcpy(buffer, h->in->data() + h->position, count);
  h->position += count;
  return static_cast<int>(count);
}

int Write(mspack_file *file, void *buffer, int bytes) {
  MemoryHandle *h = Handle(file);
  if (h->out == nullptr || bytes < 0) {
    return -1;
  }
  const auto *p = static_cast<const std::uint8_t *>(buffer);
  h->out->insert(h->out->end(), p, p + bytes);
  return bytes;
}

int Seek(mspack_file *file, off_t offset, int mode) {
  MemoryHandle *h = Handle(file);
  const off_t size = h->in != nullptr ? static_cast<off_t>(h->in->size()) : 0;
  const off_t base = mode == MSPACK_SYS_SEEK_START ? 0
                     : mode == MSPACK_SYS_SEEK_CUR ? static_cast<off_t>(h->position)
                                                   : size;
  if (h->in == nullptr || base + offset < 0 || base + offset > size) {
    return -1;
  }
  h->position = static_cast<std::size_t>(base + offset);
  return 0;
}

off_t Tell(mspack_file *file) { return static_cast<off_t>(Handle(file)->position); }

void Message(mspack_file *, const char *, ...) {}

void *Alloc(mspack_system *, std::size_t bytes) { return std::malloc(bytes); }

void Free(void *p) { std::free(p); }

void Copy(void *from, void *to, std::size_t bytes) { std::memmove(to, from, bytes); }

} // namespace

bool ExtractWithLibmspack(const std::vector<std::uint8_t> &cabinet, std::vector<std::uint8_t> &file,
                          std::string &error) {
  MemorySystem system{{Open, Close, Read, Write, Seek, Tell, Message, Alloc, Free, Copy, nullptr},
                      &cabinet,
                      &file,
                      {}};
  mscab_decompressor *decoder = mspack_create_cab_decompressor(&system.base);
  if (decoder == nullptr) {
    error = "libmspack cannot start";
    return false;
  }
  bool ok = false;
  mscabd_cabinet *opened = decoder->open(decoder, kCabinetName);
  if (opened == nullptr || opened->files == nullptr) {
    error = "libmspack cannot open the cabinet (error " +
            std::to_string(decoder->last_error(decoder)) + ")";
  } else if (decoder->extract(decoder, opened->files, kFileName) != MSPACK_ERR_OK) {
    error = "libmspack cannot extract the file (error " +
            std::to_string(decoder->last_error(decoder)) + ")";
  } else {
    ok = true;
  }
  if (opened != nullptr) {
    decoder->close(decoder, opened);
  }
  mspack_destroy_cab_decompressor(decoder);
  return ok;
}

} // namespace packer::fuzz
