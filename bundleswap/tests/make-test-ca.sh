#!/usr/bin/env bash
# Makes a throw-away certificate authority in folder $1 for the installer's tests:
#   root.pem                      publisher root (pinned by installed bundles)
#   intermediate.pem/.key         issues the leaves; carries the Developer ID intermediate marker
#   leaf.pem/.key                 Developer ID application of team TEAMA12345
#   other.pem/.key                Developer ID application of team TEAMB67890
#   plain.pem/.key                team TEAMA12345 without the application marker
#   rogue-root.pem, rogue.pem/.key  a look-alike chain to a root nobody pins
#   notary-root.pem, notary.pem/.key  the notary
set -euo pipefail
dir=$1
mkdir -p "$dir"
cd "$dir"

cat > extensions.cnf <<'CNF'
[ca]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[intermediate]
basicConstraints = critical,CA:TRUE,pathlen:0
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
1.2.840.113635.100.6.2.6 = ASN1:NULL
[application]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
1.2.840.113635.100.6.1.13 = ASN1:NULL
[plain]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
[notary]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
CNF

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key" 2>/dev/null; }

root() {  # name subject
  key "$1"
  openssl req -new -x509 -key "$1.key" -subj "$2" -days 30 -config extensions.cnf \
    -extensions ca -out "$1.pem"
}

issue() {  # name subject issuer section
  key "$1"
  openssl req -new -key "$1.key" -subj "$2" -out "$1.csr"
  openssl x509 -req -in "$1.csr" -CA "$3.pem" -CAkey "$3.key" -set_serial "0x$(openssl rand -hex 8)" \
    -days 30 -extfile extensions.cnf -extensions "$4" -out "$1.pem" 2>/dev/null
  rm "$1.csr"
}

root root "/O=Quorvel Test/CN=Test Publisher Root"
issue intermediate "/O=Quorvel Test/CN=Test Developer ID Intermediate" root intermediate
issue leaf "/O=Team A/OU=TEAMA12345/CN=Developer ID Application: Team A" intermediate application
issue other "/O=Team B/OU=TEAMB67890/CN=Developer ID Application: Team B" intermediate application
issue plain "/O=Team A/OU=TEAMA12345/CN=Team A without marker" intermediate plain
root rogue-root "/O=Quorvel Test/CN=Test Publisher Root"
issue rogue-intermediate "/O=Quorvel Test/CN=Test Developer ID Intermediate" rogue-root intermediate
issue rogue "/O=Team A/OU=TEAMA12345/CN=Developer ID Application: Team A" rogue-intermediate application
root notary-root "/O=Quorvel Test/CN=Test Notary Root"
issue notary "/O=Quorvel Test/CN=Test Notary" notary-root notary
