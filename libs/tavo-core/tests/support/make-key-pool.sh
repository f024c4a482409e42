#!/bin/sh
# Makes the run's pool of RSA 2048 test keys once: make-key-pool.sh DIR COUNT.
# Keys already there are kept; each appears under its final name only whole.
set -eu
dir=$1
count=$2
mkdir -p "$dir"
seq 1 "$count" | xargs -P 4 -I{} sh -c '
  key="$0/rsa-{}.key"
  [ -s "$key" ] && exit 0
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$key.tmp.$$" 2>/dev/null
  mv "$key.tmp.$$" "$key"
' "$dir"
