#!/usr/bin/env bash
# Makes, once, what a build that updates from a local server pins: a CA of its
# own with a certificate for localhost and 127.0.0.1, and a minisign key with
# no password. The run command's demo and the Mac workflow's smoke run use it.
#
#   scripts/demo-pki.sh DIR [RDP-PORT UPDATE-PORT]
#
# writes ca.pem, server.pem, server.key, minisign.pub and minisign.key into
# DIR; with the ports, it then prints, one per line, the CMake arguments of a
# build pinned to the loopback servers and to these (the demo's constants).
#
# Only what LibreSSL (a stock Mac's openssl) takes too.
set -euo pipefail
pki=${1:?usage: $0 DIR [RDP-PORT UPDATE-PORT]}
mkdir -p "$pki"
cd "$pki"
if [[ ! -s ca.pem || ! -s server.pem || ! -s server.key ]]; then
  openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3650 \
    -subj '/CN=Veldra Demo CA' -addext basicConstraints=critical,CA:TRUE \
    -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj '/CN=localhost' 2>/dev/null
  printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' >server.ext
  openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem \
    -days 3650 -extfile server.ext 2>/dev/null
fi
# The publisher's key: the build pins its public half, the manifests are
# signed with the secret one.
if [[ ! -s minisign.pub || ! -s minisign.key ]]; then
  rm -f minisign.pub minisign.key
  minisign -G -W -p minisign.pub -s minisign.key >/dev/null
fi
if (($# == 3)); then
  printf '%s\n' "-DVELDRA_RDP_HOST=127.0.0.1:$2" -DVELDRA_UPDATE_HOST=localhost "-DVELDRA_UPDATE_PORT=$3" \
    "-DVELDRA_UPDATE_CA=$PWD/ca.pem" "-DVELDRA_UPDATE_PUBLIC_KEY=$(sed -n 2p minisign.pub)" \
    -DVELDRA_START_WINDOW_SECONDS=20
fi
