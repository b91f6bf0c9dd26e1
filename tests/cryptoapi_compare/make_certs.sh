#!/usr/bin/env bash
# Writes the fixtures the CryptoAPI probe reads, byte for byte the same for both of its builds:
# certificates whose names carry the awkward cases (quoting, separators, every string type,
# unknown attribute types), a fixed RSA key as a PRIVATEKEYBLOB of each kind, and a signed
# PKCS#7 message. The names are written in hex through ASN.1 generator configurations, so the
# string types and bytes are exactly the ones asked for. Run it again only to change the
# fixtures: the key is kept once made, everything else is remade from it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$here/certs
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

key=$out/probe_key.pem
[[ -f $key ]] || openssl genrsa -out "$key" 1024 2>/dev/null
# OpenSSL writes an exchange key blob (CALG_RSA_KEYX); the signature blob differs only in the
# algorithm word at offset 4.
openssl rsa -in "$key" -outform MSBLOB -out "$out/key_exchange.blob" 2>/dev/null
{ head -c 4 "$out/key_exchange.blob"; printf '\x00\x24\x00\x00'; tail -c +9 "$out/key_exchange.blob"; } \
  >"$out/key_signature.blob"

hex() { od -An -tx1 -v | tr -d ' \n'; }
# A string of the given universal tag whose bytes are UTF-8 text converted to `charset`: the
# generator converts character strings itself, so the bytes go in as an octet string retagged.
text() {
  local bytes
  bytes=$(printf '%s' "$3" | iconv -f UTF-8 -t "$2" | hex)
  if [[ -z $bytes ]]; then
    echo "IMPLICIT:$1U,OCTETSTRING:"
  else
    echo "IMPLICIT:$1U,FORMAT:HEX,OCTETSTRING:$bytes"
  fi
}
utf8() { text 12 UTF-8 "$1"; }
printable() { text 19 UTF-8 "$1"; }
ia5() { text 22 UTF-8 "$1"; }
bmp() { text 30 UTF-16BE "$1"; }
universal() { text 28 UTF-32BE "$1"; }
t61_utf8() { text 20 UTF-8 "$1"; }
t61_latin1() { text 20 LATIN1 "$1"; }
numeric() { text 18 UTF-8 "$1"; }
visible() { text 26 UTF-8 "$1"; }

modulus=$(openssl rsa -in "$key" -noout -modulus 2>/dev/null | cut -d= -f2)

# One certificate per call of cert, after its RDNs were declared with rdn.
sections=""
rdn_count=0
rdn_list=""
begin() {
  sections=""
  rdn_count=0
  rdn_list=""
}
# rdn OID VALUE [OID VALUE ...]: one RDN of one or more attributes.
rdn() {
  local r="rdn$rdn_count" i=0 body=""
  while [[ $# -gt 0 ]]; do
    body+="a$i = SEQUENCE:${r}_$i"$'\n'
    sections+="[${r}_$i]"$'\n'"oid = OID:$1"$'\n'"value = $2"$'\n'
    i=$((i + 1))
    shift 2
  done
  sections+="[$r]"$'\n'"$body"
  rdn_list+="r$rdn_count = SET:$r"$'\n'
  rdn_count=$((rdn_count + 1))
}
# cert NAME SERIAL NOT_BEFORE NOT_AFTER [KEY_USAGE_BITS]: times as generator values.
cert() {
  local name=$1 serial=$2 not_before=$3 not_after=$4 usage=${5:-}
  local cnf=$work/$name.cnf ext=""
  if [[ -n $usage ]]; then
    ext="extensions = EXPLICIT:3,SEQUENCE:extensions"
  fi
  cat >"$cnf" <<CNF
asn1 = SEQUENCE:tbs
[tbs]
version = EXPLICIT:0,INTEGER:2
serial = INTEGER:$serial
signature = SEQUENCE:sha256_rsa
issuer = SEQUENCE:name
validity = SEQUENCE:validity
subject = SEQUENCE:name
key = SEQUENCE:spki
$ext
[sha256_rsa]
oid = OID:sha256WithRSAEncryption
parameters = NULL
[validity]
not_before = $not_before
not_after = $not_after
[spki]
algorithm = SEQUENCE:rsa_algorithm
key = BITWRAP,SEQUENCE:rsa_key
[rsa_algorithm]
oid = OID:rsaEncryption
parameters = NULL
[rsa_key]
n = INTEGER:0x$modulus
e = INTEGER:65537
[extensions]
key_usage = SEQUENCE:key_usage
[key_usage]
oid = OID:keyUsage
critical = BOOLEAN:TRUE
value = OCTWRAP,FORMAT:BITLIST,BITSTRING:$usage
[name]
$rdn_list
$sections
CNF
  openssl asn1parse -genconf "$cnf" -noout -out "$work/$name.tbs"
  local signature
  signature=$(openssl dgst -sha256 -sign "$key" "$work/$name.tbs" | hex)
  # The certificate repeats the same sections, so its TBS is the bytes just signed.
  sed -e '1s/.*/asn1 = SEQUENCE:certificate/' "$cnf" >"$cnf.full"
  cat >>"$cnf.full" <<CNF
[certificate]
tbs = SEQUENCE:tbs
algorithm = SEQUENCE:sha256_rsa
signature = FORMAT:HEX,BITSTRING:$signature
CNF
  openssl asn1parse -genconf "$cnf.full" -noout -out "$out/$name.der"
}

utc_from=UTCTIME:200101000000Z
utc_to=UTCTIME:491231235959Z

begin
rdn 2.5.4.6 "$(printable TW)"
rdn 2.5.4.10 "$(utf8 'Kestrune Probe')"
rdn 2.5.4.3 "$(utf8 'Plain Name')"
cert plain 0x01 $utc_from $utc_to 0,1

begin
rdn 2.5.4.3 "$(utf8 'He said "hi"')"
rdn 2.5.4.10 "$(utf8 '"quoted"')"
cert quotes 0x00FF $utc_from $utc_to

begin
rdn 2.5.4.10 "$(utf8 'Acme, Inc.')"
rdn 2.5.4.11 "$(utf8 'a;b')"
rdn 2.5.4.3 "$(utf8 'x=y')"
cert separators 0x7FFFFFFF $utc_from $utc_to 5

begin
rdn 2.5.4.3 "$(utf8 'a+b')"
rdn 2.5.4.7 "$(utf8 'line1
line2')"
rdn 2.5.4.8 "$(utf8 '<tag> back\slash')"
cert plus_and_specials 0x0102030405060708090A0B0C0D0E0F1011121314 $utc_from $utc_to

begin
rdn 2.5.4.3 "$(utf8 '  padded  ')"
rdn 2.5.4.11 "$(utf8 ' lead')"
rdn 2.5.4.10 "$(utf8 'trail ')"
cert spaces 0x80 $utc_from $utc_to

begin
rdn 2.5.4.3 "$(utf8 '#hash')"
rdn 2.5.4.10 "$(utf8 'mid#hash')"
cert hash_sign -5 $utc_from $utc_to

begin
rdn 2.5.4.6 "$(printable TW)"
rdn 2.5.4.3 "$(utf8 'Multi')" 2.5.4.11 "$(utf8 'Unit')" 2.5.4.10 "$(utf8 'Org, Ltd')"
rdn 1.2.840.113549.1.9.1 "$(ia5 'multi@example.tw')"
cert multi_valued 0x2A $utc_from $utc_to 0,2,3

begin
rdn 2.5.4.3 "$(utf8 '')"
rdn 2.5.4.10 "$(printable '')"
rdn 2.5.4.11 "$(utf8 'after empty')"
cert empty_values 0x0100 $utc_from $utc_to

begin
rdn 2.5.4.3 "$(t61_utf8 'Zürich Straße')"
rdn 2.5.4.10 "$(t61_utf8 '台北')"
cert t61_utf8 0x03 $utc_from $utc_to

begin
rdn 2.5.4.3 "$(t61_latin1 'Zürich Straße')"
rdn 2.5.4.7 "$(t61_latin1 'Café à la')"
cert t61_8bit 0x04 $utc_from $utc_to

begin
rdn 2.5.4.3 "$(bmp 'Łódź 中文 €')"
rdn 2.5.4.10 "$(bmp 'ASCII in BMP')"
cert bmp 0x05 $utc_from $utc_to

begin
rdn 2.5.4.3 "$(universal 'Ωmega 𝄞 中')"
rdn 2.5.4.10 "$(universal 'plain')"
cert universal 0x06 $utc_from $utc_to

begin
rdn 2.5.4.3 "$(utf8 '王小明')"
rdn 2.5.4.10 "$(utf8 '台北市政府')"
rdn 2.5.4.11 "$(utf8 'Café Zoë naïve')"
rdn 2.5.4.7 "$(utf8 'ü ß é € ™')"
cert utf8_cjk 0x07 $utc_from $utc_to

begin
rdn 2.5.4.3 "$(ia5 'ia5 name')"
rdn 1.2.840.113549.1.9.1 "$(ia5 'someone@example.com')"
rdn 2.5.4.5 "$(numeric '0123456789')"
cert ia5_email 0x08 $utc_from $utc_to

begin
rdn 1.2.3.4.5 "$(utf8 'unknown arc')"
rdn 2.999.1 "$(utf8 'big arc')"
rdn 1.3.6.1.4.1.311.60.2.1.3 "$(printable TW)"
rdn 2.5.4.3 "$(utf8 'Known')"
cert unknown_oids 0x09 $utc_from $utc_to

# Values that are no directory string (OpenSSL's name decoder refuses them; Windows doesn't).
begin
rdn 1.2.3.4.6 "INTEGER:42"
rdn 1.2.3.4.7 "FORMAT:HEX,OCTETSTRING:DEADBEEF"
rdn 2.5.4.11 "$(visible 'visible')"
rdn 2.5.4.3 "$(utf8 'encoded values')"
cert encoded_values 0x0A $utc_from $utc_to

begin
long=$(printf 'L%.0s' $(seq 1 300))
rdn 2.5.4.3 "$(utf8 "$long")"
rdn 2.5.4.10 "$(utf8 "$(printf 'Ä%.0s' $(seq 1 120))")"
cert long_values 0x0B $utc_from $utc_to

begin
rdn 2.5.4.3 "$(utf8 'Every Key')"
rdn 2.5.4.4 "$(utf8 'Surname')"
rdn 2.5.4.42 "$(utf8 'Given')"
rdn 2.5.4.43 "$(utf8 'I')"
rdn 2.5.4.12 "$(utf8 'Title')"
rdn 2.5.4.9 "$(utf8 'Street 1')"
rdn 2.5.4.7 "$(utf8 'Taipei')"
rdn 2.5.4.8 "$(utf8 'Taiwan')"
rdn 2.5.4.17 "$(utf8 '100')"
rdn 0.9.2342.19200300.100.1.25 "$(ia5 'example')"
rdn 0.9.2342.19200300.100.1.1 "$(utf8 'uid1')"
rdn 1.2.840.113549.1.9.2 "$(ia5 'unstructured')"
rdn 2.5.4.46 "$(printable 'qualifier')"
cert every_key 0x0C $utc_from $utc_to 8

begin
rdn 2.5.4.3 "$(utf8 'Late')"
cert generalized_time 0x0D GENTIME:20500101000000Z GENTIME:21001231235959Z 0

begin
rdn 2.5.4.3 "$(utf8 'Early')"
cert early_time 0x0E UTCTIME:500101000000Z UTCTIME:700101000000Z

# A signed message over a short text, the plain certificate as its signer.
openssl x509 -inform DER -in "$out/plain.der" -out "$work/plain.pem"
printf 'probe message' >"$work/content"
openssl cms -sign -binary -nodetach -noattr -md sha1 -in "$work/content" -signer "$work/plain.pem" \
  -inkey "$key" -outform DER -out "$out/signed_message.p7"
