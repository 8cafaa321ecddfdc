# Sourced by the packer's shell tests: a scratch folder, made current and removed on exit, and a
# count of failed checks that finish turns into the exit status.
#   source check-lib.sh NAME
check_name=$1
scratch=$(mktemp -d "${TMPDIR:-/tmp}/$check_name.XXXXXX")
trap 'rm -rf -- "$scratch"' EXIT
cd "$scratch" || exit 1
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures check(s) failed"
        exit 1
    fi
    echo "$check_name: all checks passed"
    exit 0
}
