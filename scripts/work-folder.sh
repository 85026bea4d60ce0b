# Sourced by the scripts that need scratch space: makes a private temporary
# folder, $work, and an empty list, $pids, for the background processes the
# script starts. When the script ends, however it ends, those processes are
# stopped and waited for and the folder is removed with everything in it.
# A script that sets its own EXIT trap afterwards must call cleanup_work in it.

work=$(mktemp -d -t dovetrail.XXXXXX)
pids=()
cleanup_work() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup_work EXIT
