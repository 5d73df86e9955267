#!/usr/bin/env bash
# Shows pattern-counters doing its job on the default registry store: builds the programs, creates
# the client's key the way the client would (with the companion) when it is missing, runs the tool
# on an example pattern file name and shows the key afterwards. Run it again to see the counter
# step on.
set -euo pipefail
cd "$(dirname "$0")"

echo "== Installing the Debian packages the build needs, where any is missing (apt-get)"
scripts/install-dependencies.sh build
echo "== Building the tool and its companion in build/ (a minute or two the first time)"
cmake --preset default >/dev/null
cmake --build --preset default >/dev/null

reg=build/pattern-counters-reg
key='HKLM\SOFTWARE\KESTRAN\Fernhold\Ostrevin\CurrentVersion'
if ! "$reg" query "$key" >/dev/null 2>&1; then
  echo "== The client key is missing: the client creates it, with a pattern in use"
  echo "   (the tool's first run on it reports the three counters missing, and creates them)"
  "$reg" add "$key" /v UsingPattern /t REG_DWORD /d 1350656 /f
fi

pattern='C:\defs\20030214.012'
echo "== pattern-counters '$pattern'"
build/pattern-counters "$pattern"
echo "== The client key afterwards"
"$reg" query "$key"
