# Sourced by scripts/test-windows: the Windows host and module, under Wine,
# against the phone simulator running on Linux beside them.
#   wine_e2e BUILD_DIR    a USB Android phone and a Wi-Fi phone, each
#                         announced, through a sync round and removed; a BREW
#                         phone on a COM port read, recorded and removed
# Needs WINEPREFIX ready and build/bin/phonesim (the plain build).

source "$(dirname "${BASH_SOURCE[0]}")/sim-machine.sh"

wine_e2e() (
  set -euo pipefail
  local dir=$1 limit=${DD_WINE_STEP_SECONDS:-40}
  local host_exe=$dir/bin/devicedetect-host.exe
  HOST_PID=
  finish() {
    local rc=$?
    if [[ -n $HOST_PID ]]; then
      echo quit >&4 2>/dev/null || true
      { exec 4>&-; } 2>/dev/null || true
      for _ in $(seq 100); do kill -0 "$HOST_PID" 2>/dev/null || break; sleep 0.1; done
      kill "$HOST_PID" 2>/dev/null || true
      wait "$HOST_PID" 2>/dev/null || true
    fi
    if ((rc != 0)) && [[ -n ${sandbox:-} ]]; then
      echo "wine-e2e: the host's output:" >&2
      cut -c1-300 "$sandbox/host.out" >&2 || true
      echo "wine-e2e: the module's log, last lines:" >&2
      tail -n 30 "$DEVICEDETECT_LOG_FILE" 2>/dev/null | cut -c1-300 >&2 || true
    fi
    sim_machine_stop
    exit "$rc"
  }
  trap finish EXIT

  # The Windows module knows this PC by Windows' pieces (user, computer,
  # volume): the Wi-Fi phones are paired with what its --check shows.
  local identity
  # (--check ends with a failure status when something is missing: adb is.)
  identity=$( (timeout 120 wine "$host_exe" --check --json --module-dir "$dir/module" 2>/dev/null ||
    true) | tr -d '\r' | sed -n 's/.*identity for Wi-Fi pairing: \([^"]*\)".*/\1/p' | head -n 1)
  [[ -n $identity ]] || { echo "wine-e2e: --check showed no PC identity" >&2; return 1; }

  local wifi_port loader_port
  wifi_port=$(free_loopback_port udp)
  loader_port=$(free_loopback_port tcp)
  export DEVICEDETECT_WIFI_ADDRESS=127.0.0.1 DEVICEDETECT_WIFI_PORT=$wifi_port
  sim_machine_start build/bin --wifi-port "$wifi_port" --pc-identity "$identity"
  cp -r "$dir/module" "$sandbox/module"
  printf '[Detect]\nLogLevel=Info\nLoaderHttpPort=%s\n' "$loader_port" \
    >"$sandbox/module/orqBRAXLoader.ini"
  export DEVICEDETECT_MODULE_DIR=$sandbox/module
  # No adb client runs under Wine: every adb request goes to the simulator's
  # server over its socket.
  export DEVICEDETECT_ADB=$sandbox/no-adb.exe

  mkfifo "$sandbox/host.in"
  wine "$host_exe" --json --loader-port "$loader_port" <"$sandbox/host.in" \
    >"$sandbox/host.out" 2>/dev/null &
  HOST_PID=$!
  exec 4>"$sandbox/host.in"

  # Waits until the host's output has a line matching the extended regular
  # expression $1 (more lines than before it, so a step never passes on an
  # earlier step's line).
  local seen=0
  expect() {
    local pattern=$1 deadline=$((SECONDS + limit)) total
    while :; do
      total=$(wc -l <"$sandbox/host.out")
      if ((total > seen)) &&
        sed -n "$((seen + 1)),${total}p" "$sandbox/host.out" | grep -qaE -- "$pattern"; then
        seen=$total
        return 0
      fi
      kill -0 "$HOST_PID" 2>/dev/null ||
        { echo "wine-e2e: the host ended before \"$pattern\"" >&2; return 1; }
      ((SECONDS < deadline)) ||
        { echo "wine-e2e: no \"$pattern\" within $limit s" >&2; return 1; }
      sleep 0.2
    done
  }
  host() { echo "$*" >&4; }

  local usb=R58M40ABCDE wifi_imei=860000000000555 wifi_serial=860000000000555
  expect 'DeviceDetect started'
  sim plug "$usb" 1-1 Pixel_7
  expect "\"event\":\"NEW_DEVICE\".*\"serialno\":\"$usb\""
  sim start "$usb" "$usb"
  expect '"event":"SYNC_REQUEST"'
  host begin "$usb"
  expect "sync begin $usb"
  host end "$usb"
  expect "sync end $usb"
  sim unplug "$usb"
  expect "\"event\":\"REMOVE_DEVICE\".*\"serialno\":\"$usb\""
  echo "wine-e2e: USB Android phone announced, synced and removed"

  sim wifi-connect "$wifi_imei" "$wifi_serial"
  expect "\"event\":\"NEW_DEVICE\".*\"serialno\":\"$wifi_serial\".*\"link\":\"wifi\""
  sim wifi-start "$wifi_imei"
  expect '"event":"LOADER_REQUEST"'
  host begin "$wifi_serial"
  expect "sync begin $wifi_serial"
  host end "$wifi_serial"
  expect "sync end $wifi_serial"
  host disconnect "$wifi_serial"
  expect "\"event\":\"REMOVE_DEVICE\".*\"serialno\":\"$wifi_serial\""
  sim wifi-disconnect "$wifi_imei"
  echo "wine-e2e: Wi-Fi phone announced, synced and removed"

  # The simulator gives the first BREW phone the tty "ttyACM0", a link in the
  # dev folder to its pseudo-terminal. Under Wine the module reaches that tty
  # as COM5: Wine's com5 device is the link, and the map file beside the
  # node names the port.
  local brew_imei=352000000000777
  echo COM5 >"$DEVICEDETECT_DEV_ROOT/ttyACM0.com"
  ln -sfn "$DEVICEDETECT_DEV_ROOT/ttyACM0" "$WINEPREFIX/dosdevices/com5"
  sim plug-brew "$brew_imei" 2-1 Orq_Classic
  expect "\"event\":\"BREW_DEVICE\".*$brew_imei"
  sim unplug "$brew_imei"
  expect "\"event\":\"BREW_REMOVED\".*$brew_imei"
  rm -f "$WINEPREFIX/dosdevices/com5"
  echo "wine-e2e: BREW phone on COM5 read, recorded and removed"
)
