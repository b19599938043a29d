#!/bin/sh
# Signs copies of the stand-in updater for the /signer tests, with throwaway
# certificates made here and now (none is ever kept in the repository), and
# leaves the links a privileged run's log must not follow, which only the
# Unix side can make under Wine.
#   make_signed_updaters.sh STANDIN_EXE OUT_FOLDER
set -eu
standin=$(readlink -f "$1")
out=$2
rm -rf "$out"
mkdir -p "$out/links"
cd "$out"
for who in a b; do
  name="Varnock Test Signer $(echo "$who" | tr a-z A-Z)"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$who.key" -out "$who.pem" -days 2 -subj "/CN=$name" \
    -addext extendedKeyUsage=codeSigning >/dev/null 2>&1
  osslsigncode sign -certs "$who.pem" -key "$who.key" -h sha256 -in "$standin" -out "signed-$who.exe" >/dev/null
  openssl x509 -in "$who.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g' > "$who.sha1"
  echo "$name" > "$who.subject"
done
# One byte of the DOS stub's text changed after signing: the digest no longer matches.
cp signed-a.exe signed-a-changed.exe
printf 'X' | dd of=signed-a-changed.exe bs=1 seek=78 conv=notrunc 2>/dev/null
cmp -s signed-a.exe signed-a-changed.exe && { echo "the changed copy did not change" >&2; exit 1; }
# A log name that is a link, and one that leads nowhere.
: > links/target.txt
ln -s target.txt links/link.txt
ln -s missing.txt links/dangling.txt
