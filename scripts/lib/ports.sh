# shellcheck shell=bash
# Sourced by the scripts that pick UDP ports; it defines functions only.

# free_udp_port FROM [EXCEPT]
# The first UDP port of the hundred from FROM on that no socket holds on any
# address (IPv4 or IPv6) right now, other than EXCEPT; FROM itself when all
# are taken. Free for now only: it suits choosing a port, not reserving one.
free_udp_port() {
    local from=$1 except=${2:-} port hex
    for ((port = from; port < from + 100 && port <= 65535; port++)); do
        [[ $port == "$except" ]] && continue
        hex=$(printf '%04X' "$port")
        if ! grep -qE "^ *[0-9]+: [0-9A-F]+:$hex " /proc/net/udp /proc/net/udp6 2>/dev/null; then
            echo "$port"
            return
        fi
    done
    echo "$from"
}
