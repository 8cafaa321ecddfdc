// SPDX-License-Identifier: Zlib
#pragma once

// The shared table of payload layouts (tests/payload/layout_cases.txt, copied into test-data),
// read the same by the stub's test under Wine and by the packer's test on the host.

#include <sstream>
#include <string>
#include <vector>

#include "run/run_result.h"

struct LayoutCase {
  std::string layout;
  RunResult stub;
  std::string archive_path; // "-" untouched, "~" the work directory alone, else a name in it
  std::string setup_path;
  std::vector<std::string> files; // sorted
  std::string packer;             // empty where the packer answers as the stub does
};

inline std::vector<LayoutCase> ReadLayoutCases(const std::string &text) {
  const auto trim = [](std::string field) {
    field.erase(0, field.find_first_not_of(' '));
    field.erase(field.find_last_not_of(' ') + 1);
    return field;
  };
  std::vector<LayoutCase> cases;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') {
      continue;
    }
    std::vector<std::string> fields;
    std::istringstream row(line + "|");
    for (std::string field; std::getline(row, field, '|');) {
      fields.push_back(trim(field));
    }
    fields.resize(7);
    LayoutCase c{fields[0], {}, fields[3], fields[4], {}, fields[6]};
    std::istringstream result(fields[2]);
    char slash = 0;
    result >> c.stub.exit_code >> slash >> c.stub.extra_code;
    std::istringstream files(fields[5] == "-" ? "" : fields[5]);
    for (std::string file; files >> file;) {
      c.files.push_back(file);
    }
    cases.push_back(c);
  }
  return cases;
}
