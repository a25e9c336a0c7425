# Sourced by the tests of the installed tree. fresh_workdir DIR starts DIR
# afresh; it clears only a folder that it made itself (it leaves a mark there),
# so a wrong argument can never cost a file.
fresh_workdir() {
  if [ -e "$1" ] && [ ! -f "$1/.qvr-test-workdir" ]; then
    echo "refusing to clear $1: not a folder these tests made" >&2
    exit 1
  fi
  rm -rf "$1"
  mkdir -p "$1"
  touch "$1/.qvr-test-workdir"
}
