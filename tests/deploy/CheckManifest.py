#!/usr/bin/env python3
"""The Kubernetes example: valid YAML, a CronJob of Indexed Jobs whose
completion index becomes the shard, with as many shards as completions, a
run name that changes with the day, each shard's invocation counters on the
persistent volume, and the meter list from a Secret rather than the command
line. The database: each shard its own SQLite file on the persistent volume
(merged afterwards), or one PostgreSQL database for all of them whose URI
(and password) come from a Secret through the environment, never written
in the manifest or on the command line, and no merge step."""
import re
import sys

import yaml

path = sys.argv[1]
with open(path, encoding="utf-8") as f:
    docs = [d for d in yaml.safe_load_all(f) if d is not None]
errors = []
if len(docs) != 1:
    errors.append(f"expected one document, found {len(docs)}")
cron = docs[0] if docs else {}
if cron.get("apiVersion") != "batch/v1" or cron.get("kind") != "CronJob":
    errors.append("expected apiVersion batch/v1, kind CronJob")
if not cron.get("spec", {}).get("schedule"):
    errors.append("expected a schedule")
spec = cron.get("spec", {}).get("jobTemplate", {}).get("spec", {})
if spec.get("completionMode") != "Indexed":
    errors.append("expected completionMode Indexed")
completions = spec.get("completions")
if spec.get("parallelism") != completions:
    errors.append("expected parallelism equal to completions")
pod = spec.get("template", {}).get("spec", {})
if pod.get("restartPolicy") not in ("Never", "OnFailure"):
    errors.append("a Job's pods need restartPolicy Never or OnFailure")
containers = pod.get("containers", [])
if len(containers) != 1:
    errors.append("expected one container")
else:
    c = containers[0]
    line = " ".join(c.get("command", []) + c.get("args", []))
    m = re.search(r'--shard "\$JOB_COMPLETION_INDEX/(\d+)"', line)
    if not m:
        errors.append("expected --shard \"$JOB_COMPLETION_INDEX/N\" in the command")
    elif int(m.group(1)) != completions:
        errors.append(f"--shard .../{m.group(1)} but {completions} completions")
    if "quillon-cli batch" not in line:
        errors.append("expected quillon-cli batch in the command")
    if re.search(r"--(password|ek|ak|kek)\b", line):
        errors.append("secrets on the command line")
    mounts = {v["name"]: v["mountPath"] for v in c.get("volumeMounts", [])}
    volumes = {v["name"]: v for v in pod.get("volumes", [])}
    run = re.search(r'--run "([^"]*)"', line)
    if not run or "$(date" not in run.group(1):
        errors.append("expected a run name that changes with the day (--run \"...$(date ...)\")")
    counters = re.search(r'QUILLON_COUNTERS="([^"]*)"', line)
    counters = counters.group(1) if counters else ""
    on_volume = any(counters.startswith(mounts.get(n, "//")) and "persistentVolumeClaim" in volumes.get(n, {})
                    for n in mounts)
    if not on_volume or "$JOB_COMPLETION_INDEX" not in counters:
        errors.append("expected QUILLON_COUNTERS per shard on the persistent volume")
    lists = re.findall(r"--list (\S+)", line)
    if not lists or not any(lists[0].startswith(mounts.get(n, "//")) and "secret" in volumes.get(n, {}) for n in mounts):
        errors.append("expected the meter list on a volume from a Secret")
    db = re.search(r'--db "([^"]*)"', line)
    db = db.group(1) if db else ""
    env = {e["name"]: e for e in c.get("env", [])}
    from_secret = lambda name: "secretKeyRef" in env.get(name, {}).get("valueFrom", {})
    if re.search(r"postgres(ql)?://|password=", line):
        errors.append("a database connection written on the command line (expected it from a Secret)")
    server = re.fullmatch(r"\$\{?(\w+)\}?", db)
    if server:
        if not from_secret(server.group(1)):
            errors.append(f"--db \"{db}\": expected ${server.group(1)} from a Secret (secretKeyRef)")
        if "PGPASSWORD" in env and not from_secret("PGPASSWORD"):
            errors.append("PGPASSWORD written in the manifest (expected it from a Secret)")
        if "merge" in line:
            errors.append("one shared database needs no merge step")
    elif not (any(db.startswith(mounts.get(n, "//")) and "persistentVolumeClaim" in volumes.get(n, {}) for n in mounts)
              and "$JOB_COMPLETION_INDEX" in db):
        errors.append("expected --db a file per shard on the persistent volume, or \"$VAR\" from a Secret")
    for name, e in env.items():
        if "value" in e and re.search(r"postgres(ql)?://|password", str(e["value"])):
            errors.append(f"env {name}: a database connection written in the manifest")
for e in errors:
    print(f"{path}: {e}")
sys.exit(1 if errors else 0)
