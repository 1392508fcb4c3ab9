# Starting a private Xvfb display, for tests/run-test and scripts/demo (both
# source this file).

# Starts Xvfb on a free display in the background and exports DISPLAY for it.
# Sets xvfb_pid, so the caller can end it, even when no display came up
# within ten seconds (then it returns 1).
start_xvfb() {
  local fdfile display
  fdfile=$(mktemp)
  Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp >"$fdfile" 2>/dev/null &
  xvfb_pid=$!
  for _ in $(seq 1 200); do [ -s "$fdfile" ] && break; sleep 0.05; done
  display=$(head -n1 "$fdfile")
  rm -f "$fdfile"
  [ -n "$display" ] || return 1
  export DISPLAY=":$display"
}
