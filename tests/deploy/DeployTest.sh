#!/usr/bin/env bash
# The examples under deploy/: the Kubernetes manifest parsed and checked, the
# shell scripts checked by shellcheck, and the Slurm array script run here
# as two array tasks against a simulated fleet, its shards merged into one
# database that holds every meter once.
set -euo pipefail
src=$1 cli=$2 sim=$3
work=$(mktemp -d)
simpid=
cleanup() {
  [ -n "$simpid" ] && kill "$simpid" 2>/dev/null && wait "$simpid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

python3 "$src/tests/deploy/CheckManifest.py" "$src/deploy/kubernetes/read-fleet-job.yaml"
python3 "$src/tests/deploy/CheckManifest.py" "$src/deploy/kubernetes/read-fleet-postgres-job.yaml"
shellcheck "$src/deploy/slurm/read-fleet.sbatch" "$src/deploy/parallel/read-fleet.sh"

# Client 33 ciphers: the tasks keep their invocation counters per shard.
"$sim" --quiet --fleet 12 --port 0 --fleet-list "$work/meters.csv" --fleet-client 33 > "$work/sim.out" &
simpid=$!
for _ in $(seq 1 100); do
  grep -q "^fleet of 12 meters" "$work/sim.out" 2>/dev/null && break
  sleep 0.05
done
grep -q "^fleet of 12 meters" "$work/sim.out" || { echo "the simulator did not start"; exit 1; }

cd "$work"
for i in 0 1; do
  SLURM_ARRAY_TASK_ID=$i SLURM_ARRAY_TASK_COUNT=2 SLURM_ARRAY_JOB_ID=7 QUILLON_CLI=$cli QUILLON_JOBS=4 \
    bash "$src/deploy/slurm/read-fleet.sbatch" meters.csv > "shard-$i.jsonl" 2> "shard-$i.err"
done
"$cli" merge --db fleet.db shard-0.db shard-1.db 2> merge.err
[ -s counters/shard-0.ini ] && [ -s counters/shard-1.ini ] || { echo "no counters per shard"; ls -R; exit 1; }
grep -q "^fleet.db: 12 meters, 36 readings, 0 profile values, 0 notifications$" merge.err || { cat merge.err; exit 1; }
# Each meter in one shard only, and every meter in one of them.
a=$(grep -o '"meter":"[^"]*"' shard-0.jsonl | sort -u | wc -l)
b=$(grep -o '"meter":"[^"]*"' shard-1.jsonl | sort -u | wc -l)
both=$(cat shard-0.jsonl shard-1.jsonl | grep -o '"meter":"[^"]*"' | sort -u | wc -l)
[ "$a" -gt 0 ] && [ "$b" -gt 0 ] && [ $((a + b)) -eq 12 ] && [ "$both" -eq 12 ] ||
  { echo "shards: $a + $b meters, $both different"; exit 1; }
# Running task 0 again under the same run name reads nothing twice.
SLURM_ARRAY_TASK_ID=0 SLURM_ARRAY_TASK_COUNT=2 SLURM_ARRAY_JOB_ID=7 QUILLON_CLI=$cli \
  bash "$src/deploy/slurm/read-fleet.sbatch" meters.csv > again.jsonl 2> again.err
grep -q "^run slurm-7: $a meters already read, 0 to go$" again.err || { cat again.err; exit 1; }
[ ! -s again.jsonl ] || { echo "meters read again:"; cat again.jsonl; exit 1; }
# The next day's run (another array job) goes on from each shard's counters.
for i in 0 1; do
  SLURM_ARRAY_TASK_ID=$i SLURM_ARRAY_TASK_COUNT=2 SLURM_ARRAY_JOB_ID=8 QUILLON_CLI=$cli QUILLON_JOBS=4 \
    bash "$src/deploy/slurm/read-fleet.sbatch" meters.csv > "day2-$i.jsonl" 2> "day2-$i.err" ||
    { cat "day2-$i.err"; exit 1; }
done
echo "deploy examples: manifest and scripts check, two Slurm tasks merged to 12 meters, read again the next day"
