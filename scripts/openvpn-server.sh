# Debian's Linux openvpn as a point-to-point TLS server on 127.0.0.1, for the tunnel tests, the
# main job and the benchmarks, with the one certificate set they share. Sourced; needs BUILD
# (common.sh), openvpn and openssl (scripts/openvpn.sh installs both).
#
#   make_openvpn_pki                 EC P-256 CA, server and client in $OPENVPN_PKI (made once)
#   start_openvpn_server LOG [PORT]  starts a server logging to LOG at a free UDP port (or PORT);
#                                    sets OPENVPN_SERVER_PID and OPENVPN_SERVER_PORT
#   stop_openvpn_server              ends it
#   winpath PATH                     the Windows form of a Unix path (Wine's Z: drive)

OPENVPN_PKI=$BUILD/openvpn/pki

make_openvpn_pki() {
  [ -f "$OPENVPN_PKI/client.crt" ] && return 0
  rm -rf "$OPENVPN_PKI" && mkdir -p "$OPENVPN_PKI"
  (
    cd "$OPENVPN_PKI" || exit 1
    ec() { openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "$@"; }
    ec -x509 -days 3650 -subj /CN=velotarn-test-ca -keyout ca.key -out ca.crt &&
      for who in server client; do
        ec -subj "/CN=velotarn-test-$who" -keyout $who.key -out $who.csr &&
          printf 'extendedKeyUsage=%sAuth\n' $who >$who.ext &&
          openssl x509 -req -in $who.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 3650 \
            -extfile $who.ext -out $who.crt || exit 1
      done
  ) >"$BUILD/openvpn/pki.log" 2>&1 || { cat "$BUILD/openvpn/pki.log" >&2; rm -rf "$OPENVPN_PKI"; return 1; }
}

# A short ping time-out lets the server see a killed client go within seconds; --ping-timer-rem
# keeps it from restarting (and closing its socket) while it has no client at all; --inactive
# ends it should its starter be killed before it could. A port that is taken makes the server
# end at once: another is tried.
start_openvpn_server() {
  local log=$1 port=${2:-} try
  make_openvpn_pki || return 1
  for try in 1 2 3 4 5; do
    OPENVPN_SERVER_PORT=${port:-$((20000 + RANDOM % 20000))}
    : >"$log"
    openvpn --tls-server --dev null --proto udp --local 127.0.0.1 --lport "$OPENVPN_SERVER_PORT" \
      --ca "$OPENVPN_PKI/ca.crt" --cert "$OPENVPN_PKI/server.crt" --key "$OPENVPN_PKI/server.key" \
      --dh none --ping 1 --ping-restart 5 --ping-timer-rem --push "ping 1" \
      --push "ping-restart 10" --inactive 600 --verb 3 --log "$log" &
    OPENVPN_SERVER_PID=$!
    # Listening, or gone.
    grep -q -m1 -E 'link local \(bound\)|Exiting due to fatal error' \
      < <(timeout 20 tail -F -n +1 "$log" 2>/dev/null)
    if grep -q 'link local (bound)' "$log" && kill -0 "$OPENVPN_SERVER_PID" 2>/dev/null; then
      return 0
    fi
    stop_openvpn_server
    [ -n "$port" ] && break
  done
  echo "the Linux openvpn server did not start; its log:" >&2
  cat "$log" >&2
  return 1
}

stop_openvpn_server() {
  [ -n "${OPENVPN_SERVER_PID:-}" ] || return 0
  kill "$OPENVPN_SERVER_PID" 2>/dev/null
  wait "$OPENVPN_SERVER_PID" 2>/dev/null
  OPENVPN_SERVER_PID=
}

winpath() { local p=$1; echo "Z:${p//\//\\}"; }
