# SPDX-License-Identifier: Zlib
# Sourced by every benchmark. The page-cache step every timed run comes after, so that every run
# starts from the same state, with every input in the page cache and nothing dirty waiting to be
# written back. The sync keeps one run from paying for the write-back of another's files. The
# reading is needed on this machine: its kernel pages out file data no process maps once it looks
# idle (a DAMON pageout scheme), and a run that found part of its input gone read it from disk.
# The caches are not dropped, since a user's download has just been written too.

# settle_inputs FILE...: the step itself, for a benchmark that times Linux programs.
settle_inputs() { sync && cat -- "$@" >/dev/null; }

# write_between_step FOLDER FILE...: the step as FOLDER/between, for side-by-side's --between;
# sets between_options to the options that run it. It writes its status to FOLDER/between.done
# once it has finished, which side-by-side waits for, and holds FOLDER/between.lock meanwhile,
# which finish_when_idle waits for.
write_between_step() {
    local folder=$1
    shift
    {
        echo '#!/usr/bin/env bash'
        printf 'exec 9>>%q && flock 9\n' "$folder/between.lock"
        printf 'source %q\n' "$(realpath "${BASH_SOURCE[0]}")"
        printf 'settle_inputs'
        printf ' %q' "$@"
        printf '\necho $? >%q && mv %q %q\n' "$folder/between.tmp" "$folder/between.tmp" \
            "$folder/between.done"
    } >"$folder/between"
    chmod +x "$folder/between"
    between_options=(--between "$(windows_path "$folder/between")"
        --between-done "$(windows_path "$folder/between.done")")
}

source "$(dirname "${BASH_SOURCE[0]}")/../scripts/windows-path.sh"

# keep_load SAMPLES WHAT BEFORE AFTER: beside the samples SAMPLES.*, when and under which load
# they were taken, for the figures drawn from them.
keep_load() {
    printf '%s, %s, load average %s before, %s after\n' "$(date -u '+%Y-%m-%d %H:%M UTC')" "$2" \
        "${3%% *}" "${4%% *}" >"$1.load"
}
