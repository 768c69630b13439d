#!/usr/bin/env bash
# Installs a wheel into a fresh virtual environment and runs wheel_smoke.py natively and under
# qemu-x86_64 for an AVX2-only CPU (Haswell-noTSX: x86-64-v3, no AVX-512) and an x86-64-v2 CPU
# (Nehalem: SSE4.2 and POPCNT, no AVX). An instruction the emulated CPU lacks ends the run with
# SIGILL. Usage: check_wheel_under_qemu.sh <wheel> <environment directory>
set -euo pipefail
wheel=$1
env_dir=$2
here=$(dirname "$0")

python3 -m venv --clear "$env_dir"
"$env_dir/bin/python" -m pip install --disable-pip-version-check -q numpy "$wheel"

echo "== native CPU"
"$env_dir/bin/python" "$here/wheel_smoke.py"
# Haswell-noTSX without the system features user-mode emulation lacks, which it would warn about.
for cpu in Haswell-noTSX,-pcid,-x2apic,-tsc-deadline,-invpcid Nehalem; do
  echo "== qemu-x86_64 -cpu $cpu"
  qemu-x86_64 -cpu "$cpu" "$env_dir/bin/python" "$here/wheel_smoke.py"
done
