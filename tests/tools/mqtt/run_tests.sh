#!/usr/bin/env bash
# run_tests.sh DNM MQTT: runs the MQTT tests of dnm run against the distribution's mosquitto broker
# and its mosquitto_sub and mosquitto_pub (clients nobody here wrote), with Debian's
# /usr/bin/python3; exits 77 (skipped) with the reason where dnm was built without libmosquitto
# (MQTT is not a true CMake value) or the broker, its clients or pytest are missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../skip_unless.sh"
built_with "${2:-}" libmosquitto mqtt
python_with python pytest
export PATH="$PATH:/usr/sbin"
for program in mosquitto mosquitto_sub mosquitto_pub stdbuf; do
  if ! command -v "$program" >/dev/null; then
    echo "SKIPPED: no $program (scripts/need-packages.sh mqtt installs mosquitto and mosquitto-clients)"
    exit 77
  fi
done
export DNM_TOOL="$1"
exec "$python" -m pytest -q -p no:cacheprovider -rs "$here"
