#!/bin/bash
# Reads a fleet as a Slurm job array: task I of N reads shard I/N into its
# own SQLite file, and the last step merges them.
#
#   sbatch --array=0-3 read-fleet.sbatch meters.csv
#   # when every task is done:
#   quillon-cli merge --db fleet.db shard-*.db
#
# Ciphered meters refuse an invocation counter they have seen: each shard
# keeps its counters in counters/shard-I.ini beside the databases (a shared
# folder, whichever node runs the task); the run is named after the array
# job, so a task run again skips the meters its shard has read.
#
# The meter list holds keys and passwords: keep it readable by its owner only.
#SBATCH --job-name=quillon-read-fleet
#SBATCH --array=0-3
#SBATCH --cpus-per-task=1
#SBATCH --time=01:00:00
#SBATCH --output=shard-%a.jsonl
set -euo pipefail

list=${1:?usage: read-fleet.sbatch METERS.csv}
index=${SLURM_ARRAY_TASK_ID:?run me with sbatch --array}
count=${SLURM_ARRAY_TASK_COUNT:?run me with sbatch --array}
cli=${QUILLON_CLI:-quillon-cli}

# JSON lines go to the task's output file, the readings to its own database.
export QUILLON_COUNTERS=${QUILLON_COUNTERS:-counters/shard-$index.ini}
exec "$cli" batch --list "$list" --shard "$index/$count" --jobs "${QUILLON_JOBS:-64}" --retries 2 \
  --db "shard-$index.db" --run "${QUILLON_RUN:-slurm-${SLURM_ARRAY_JOB_ID:-0}}" --out - \
  get 1.0.1.8.0.255 1.0.2.8.0.255 0.0.1.0.0.255
