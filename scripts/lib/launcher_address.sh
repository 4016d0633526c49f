# launcher_address FILE TENTHS: the page address `dizedir launcher` prints
# into FILE, waited for up to TENTHS tenths of a second; empty when none
# came. The address alone, without the line end Windows programs add.
launcher_address() {
  local address=""
  for _ in $(seq "$2"); do
    address=$(grep -o 'http://127\.0\.0\.1:[0-9]*/?token=[0-9a-f]*' "$1" || true)
    [ -n "$address" ] && break
    sleep 0.1
  done
  echo "$address"
}
