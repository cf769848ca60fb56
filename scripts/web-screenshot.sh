#!/usr/bin/env bash
# The picture of the web view in the README, made again from a run rather than drawn:
#   scripts/web-screenshot.sh [BUILD_DIR] [OUTPUT]
# runs the example network and its scan list (examples/) with dnm run --http on 127.0.0.1, lets
# the chart gather DNM_SCREENSHOT_SECONDS of samples (default 60) once every device is connected,
# opens the page in headless Chromium at 1400x1300 with the valve island (MAC ID 7) in detail and
# saves OUTPUT (default docs/web-view.png). Needs the packages of the groups http and browser of
# scripts/need-packages.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${1:-$root/build}"
output="${2:-$root/docs/web-view.png}"
seconds="${DNM_SCREENSHOT_SECONDS:-60}"
work=$(mktemp -d)
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# The example's network without its capture file, so that a picture leaves nothing behind.
sed 's/^\(segment [^ ]*\) capture=.*/\1/' "$root/examples/network.txt" > "$work/network.txt"
# From the tree's root, so that the page names the list as the README does.
(cd "$root" && exec "$build/bin/dnm" run examples/scanlist.txt --network "$work/network.txt" \
  --http "127.0.0.1:$port") > "$work/dnm-run.log" 2>&1 &
scanner=$!
trap 'kill "$scanner" 2>/dev/null; wait "$scanner" 2>/dev/null; rm -rf "$work"' EXIT
/usr/bin/python3 - "http://127.0.0.1:$port" "$output" "$seconds" <<'PYTHON'
import json, sys, time, urllib.request
from selenium import webdriver
from selenium.webdriver.chrome.service import Service

url, output, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])

def devices():
    try:
        with urllib.request.urlopen(url + "/api/devices", timeout=5) as answer:
            return json.load(answer)["devices"]
    except OSError:
        return []

deadline = time.monotonic() + 120
while not devices() or any(d["state"] != "connected" for d in devices()):
    if time.monotonic() > deadline:
        sys.exit(f"the example's devices did not all connect within 120 s: {devices()}")
    time.sleep(0.5)
time.sleep(seconds)  # samples for the chart, one a second
options = webdriver.ChromeOptions()
options.binary_location = "/usr/bin/chromium"
for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                 "--window-size=1400,1300", "--force-device-scale-factor=1"):
    options.add_argument(argument)
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
try:
    driver.get(url + "/#device-0-7")
    deadline = time.monotonic() + 30
    while driver.execute_script(
            "return document.querySelectorAll('#devices tr.state-connected').length") < 4:
        if time.monotonic() > deadline:
            sys.exit("the page did not show the devices connected within 30 s")
        time.sleep(0.2)
    driver.execute_script("window.scrollTo(0, 0)")
    time.sleep(1.5)  # a ports message: the chart drawn with the newest sample
    driver.save_screenshot(output)
finally:
    driver.quit()
print(f"saved {output}")
PYTHON
