# Sourced by scripts/setup.sh and scripts/test.sh: steps that say what they
# do, that they are still at work while they print nothing, and how long
# they took.

step_began=$SECONDS
still_at_it_after=${QUARNET_STILL_AT_IT:-30}  # seconds of silence (the tests shorten it)
exec {step_out}>&1  # the script's own output: a step's "still at it" lines go there, whatever the step's redirections

step() {  # step <what it does, and how long it usually takes>
  echo "== $*"
  step_began=$SECONDS
}

done_step() { echo "   done in $(duration $((SECONDS - step_began)))"; }

duration() {  # duration <seconds>: "42 s", "13 min 5 s"
  if [ "$1" -lt 60 ]; then echo "$1 s"; else echo "$(($1 / 60)) min $(($1 % 60)) s"; fi
}

# quietly <command...>: runs the command, its output (standard error joined to
# standard output) passing through; whenever it has printed nothing for 30 s,
# a line says that the step is still at work. Returns the command's status.
quietly() {
  local seen ticker rc=0
  seen=$(mktemp)
  _still_at_it "$seen" &
  ticker=$!
  "$@" 2>&1 | tee -a "$seen" || rc=${PIPESTATUS[0]}
  kill "$ticker" 2>/dev/null
  wait "$ticker" 2>/dev/null || true
  rm -f "$seen"
  return $rc
}

_still_at_it() {  # _still_at_it <file>: a line each time <file> has not grown for 30 s
  local size last=-1 quiet=0 grown= tick=$(( still_at_it_after < 5 ? 1 : 5 ))
  while sleep $tick; do
    size=$(stat -c %s "$1" 2>/dev/null) || return 0
    if [ "$size" != "$last" ]; then
      last=$size quiet=0 grown=1
      continue
    fi
    quiet=$((quiet + tick))
    [ $quiet -ge "$still_at_it_after" ] || continue
    quiet=0
    # end the line the step began (pytest's dots), once
    [ -z "$grown" ] || [ -z "$(tail -c 1 "$1")" ] || echo >&$step_out
    grown=
    echo "   ... still at it ($(duration $((SECONDS - step_began))))" >&$step_out
  done
}
