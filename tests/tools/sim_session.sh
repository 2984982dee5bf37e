# Shell helpers for the terminal tests: sourced, not run.

# sim_endpoint FILE: the ADDRESS:PORT a veskor-sim writing its output to FILE
# listens on, once it says so (10 s at most); empty when it never does.
sim_endpoint() {
  local endpoint=""
  for _ in $(seq 1 100); do
    endpoint=$(sed -n 's/^veskor-sim listening on \(.*\)$/\1/p' "$1")
    [ -n "$endpoint" ] && break
    sleep 0.1
  done
  echo "$endpoint"
}
