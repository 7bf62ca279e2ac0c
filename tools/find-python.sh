#!/usr/bin/env bash
# Prints the path of a working CPython >= 3.13 on this machine, or fails.
# pyenv shims may refuse to run a version that is not selected, so the pyenv
# installations are probed directly as well.
set -u
ok() { "$1" -c 'import sys, venv; sys.exit(0 if sys.version_info >= (3, 13) else 1)' >/dev/null 2>&1; }
candidates=()
[ -n "${QUELBRIN_PYTHON:-}" ] && candidates+=("$QUELBRIN_PYTHON")
if command -v pyenv >/dev/null 2>&1; then
  root=$(pyenv root 2>/dev/null)
  for p in $(ls -d "$root"/versions/3.1[3-9]* "$root"/versions/3.[2-9][0-9]* 2>/dev/null | sort -V -r); do
    candidates+=("$p/bin/python3")
  done
fi
for p in "$HOME"/.pyenv/versions/3.1[3-9]*/bin/python3; do candidates+=("$p"); done
candidates+=(python3.14 python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13 python3)
for c in "${candidates[@]}"; do
  path=$(command -v "$c" 2>/dev/null) || continue
  if ok "$path"; then echo "$path"; exit 0; fi
done
echo "no Python >= 3.13 found (set QUELBRIN_PYTHON)" >&2
exit 1
