#!/bin/bash
# Reads a fleet in N shards with GNU parallel, on this machine or, with
# --sshloginfile, on several; then merges the shards' databases into one.
#
#   read-fleet.sh meters.csv 4            # four shards here
#   PARALLEL="--sshloginfile hosts --transferfile {1}" read-fleet.sh meters.csv 16
#
# Ciphered meters refuse an invocation counter they have seen: each shard
# keeps its counters in counters/shard-I.ini here. Over ssh, run it in a
# folder the hosts share, so that a shard finds its counters wherever it
# runs next time.
#
# The one line that matters:
#   seq 0 $((N-1)) | parallel -j N quillon-cli batch --list meters.csv --shard {}/N --db shard-{}.db get 1.0.1.8.0.255
set -euo pipefail

list=${1:?usage: read-fleet.sh METERS.csv N}
n=${2:?usage: read-fleet.sh METERS.csv N}
cli=${QUILLON_CLI:-quillon-cli}

seq 0 $((n - 1)) | parallel --halt never -j "$n" \
  QUILLON_COUNTERS="$PWD/counters/shard-{}.ini" "$cli" batch --list "$list" --shard "{}/$n" --jobs "${QUILLON_JOBS:-64}" --db "shard-{}.db" \
  --out "shard-{}.jsonl" -q get 1.0.1.8.0.255 1.0.2.8.0.255 0.0.1.0.0.255 || true
files=()
for ((i = 0; i < n; i++)); do files+=("shard-$i.db"); done
"$cli" merge --db fleet.db "${files[@]}"
