# Sourced by the database-server tests: expect_error EXPECTED COMMAND...
# runs COMMAND, which must fail with one line on standard error holding
# EXPECTED and never any of the words in $secrets; a miss sets status=1.
expect_error() {
  local expected=$1 out word
  shift
  if out=$("$@" 2>&1 >/dev/null); then echo "succeeded: $*" >&2; status=1; return; fi
  [ "$(printf '%s\n' "$out" | wc -l)" = 1 ] || { echo "more than one line: $out" >&2; status=1; }
  case "$out" in *"$expected"*) ;; *) echo "unexpected error: $out" >&2; status=1 ;; esac
  for word in "${secrets[@]}"; do
    case "$out" in *"$word"*) echo "secret shown: $out" >&2; status=1 ;; esac
  done
}
