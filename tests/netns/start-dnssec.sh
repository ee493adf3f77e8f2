#!/usr/bin/env bash
# Builds and serves a signed DNS tree on loopback (run by run-in-netns.sh, inside the
# namespace only), new keys and signatures every time, with everything it makes under
# $PELLAMAR_NETNS_RUN/dnssec:
#
#   127.0.0.10:53  NSD: the root ".", signed (KSK + ZSK, ECDSAP256SHA256, NSEC)
#   127.0.0.11:53  NSD: example., signed the same way, delegated from the root with DS
#   127.0.0.12:53  NSD: every zone below example. (tests/netns/dnssec/*.zone say what
#                  each one and each record is for):
#                    ed.example.        secure, ED25519, NSEC
#                    ec.example.        secure, ECDSAP256SHA256, NSEC3 (salt, iterations)
#                    optout.example.    secure, ECDSAP256SHA256, NSEC3 with opt-out, with
#                                       the unsigned unsigned.optout.example. below it
#                    rsa.example.       secure, RSASHA256 (KSK 2048 bits, ZSK 1024 bits)
#                    insecure.example.  unsigned, no DS in example.
#                    bogus-ds.example.  signed, but its DS in example. fits none of its keys
#                    expired.example.   signed with signatures that expired in 2020
#                    edited.example.    signed, then www's A changed in the signed file
#                    cases.example.     secure, NSEC: CNAME chains' ends, an unsigned
#                                       denial, a wildcard a forger misuses, with the
#                                       signed kid.d.cases.example. below it
#                    evil.example., evil3.example., evil151.example.
#                                       an attacker's secure zones (NSEC; NSEC3; NSEC3
#                                       with 151 iterations)
#   127.0.0.13:53  NSD: a forged example. of an attacker, delegated to by no one: a test's
#                  forging relay takes from it a wildcard signed by ed.example.'s key
#   127.0.0.53:53  Unbound, recursive from our root only (root.hints), not validating:
#                  it passes DNSSEC records through to a client that asks with DO and
#                  sets no AD, so the client (delv in the tests, later pellamar) validates
#
# Trust anchors for the clients, the root KSK in three forms:
#   dnssec/root.anchor   ". IN DS ..." and ". IN DNSKEY 257 3 ..." (Unbound's anchor files)
#   dnssec/root.ds       the DS line alone
#   dnssec/delv.anchor   trust-anchors { . static-ds ...; }; for delv -a
# and ec.example.'s KSK alone, an anchor that covers no other zone of the tree:
#   dnssec/ec.anchor, dnssec/delv-ec.anchor
# dnssec/evil3-cover.name is a name of evil3.example. whose NXDOMAIN carries the NSEC3
# named by the hash of ec.example. (see evil3.example.zone).
#
# The namespace's own resolver (127.0.0.1, tests/netns/start-nsd.sh) is not involved.
# Each server's pid is appended to $PELLAMAR_NETNS_RUN/pids; the script returns once all
# four answer, Unbound with a secure answer fetched through the whole tree.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
templates=$here/dnssec

starter=start-dnssec
source "$here/starter-common.sh"
nsd_bin=$(find_tool nsd)
unbound_bin=$(find_tool unbound)
keygen=$(find_tool ldns-keygen)
signzone=$(find_tool ldns-signzone)
key2ds=$(find_tool ldns-key2ds)

top=$PELLAMAR_NETNS_RUN/dnssec
keys=$top/keys
work=$top/unsigned
signed=$top/zones
# Once per namespace: a second run would sign anew while the first servers keep the ports.
mkdir "$top" 2>/dev/null || fail "$top exists already (started twice in one namespace?)"
mkdir "$keys" "$work" "$signed"

# Signatures valid from an hour ago (clocks of a client and this machine may differ a
# little) for thirty days: longer than any test run.
now=$(date +%s)
inception=$((now - 3600))
expiration=$((now + 30 * 86400))

# new_key ZONE ALGORITHM BITS [-k]: makes a key pair in $keys and prints its base path.
new_key() {
  local zone=$1 algorithm=$2 bits=$3 base
  shift 3
  # /dev/urandom: an older kernel's /dev/random may block on a fresh namespace's boot.
  base=$(cd "$keys" && "$keygen" -r /dev/urandom -a "$algorithm" ${bits:+-b "$bits"} "$@" \
    "$zone") || fail "ldns-keygen could not make a $algorithm key for $zone"
  echo "$keys/$base"
}

# ds_of KEYBASE: the key's DS (SHA-256) as one zone-file line.
ds_of() {
  "$key2ds" -n -2 "$1.key" || fail "ldns-key2ds failed for $1"
}

# sign ZONE FILE ALGORITHM KSK-BITS ZSK-BITS [ldns-signzone option...]: signs
# $work/FILE.zone with a new KSK and ZSK into $signed/FILE.zone and leaves the KSK's DS
# in $keys/FILE.ds.
sign() {
  local zone=$1 file=$2 algorithm=$3 ksk_bits=$4 zsk_bits=$5 ksk zsk
  shift 5
  ksk=$(new_key "$zone" "$algorithm" "$ksk_bits" -k)
  zsk=$(new_key "$zone" "$algorithm" "$zsk_bits")
  # Later -i/-e in the extra options win over these.
  # Its warnings (such as evil151.example.'s iterations, which are meant) only on failure.
  "$signzone" -o "$zone" -i "$inception" -e "$expiration" "$@" -f "$signed/$file.zone" \
    "$work/$file.zone" "$zsk" "$ksk" 2>"$keys/$file.log" ||
    { cat "$keys/$file.log" >&2; fail "ldns-signzone could not sign $zone"; }
  ds_of "$ksk" >"$keys/$file.ds"
  echo "$ksk" >"$keys/$file.ksk"
  echo "$zsk" >"$keys/$file.zsk"
}

# start_nsd NAME ADDRESS ZONE... (ZONE=FILE serves the zone from $signed/FILE.zone)
start_nsd() {
  local name=$1 address=$2 dir=$top/nsd-$1 zone file
  shift 2
  mkdir -p "$dir"
  sed -e "s|@RUN@|$dir|g" -e "s|@ADDRESS@|$address|g" -e "s|@ZONES@|$signed|g" \
    "$templates/nsd.conf" >"$dir/nsd.conf"
  : >"$dir/zones.conf"
  for zone in "$@"; do
    file=${zone%.}
    [ -n "$file" ] || file=root
    if [[ $zone == *=* ]]; then
      file=${zone#*=}
      zone=${zone%%=*}
    fi
    printf 'zone:\n    name: "%s"\n    zonefile: "%s/%s.zone"\n' "$zone" "$signed" "$file" \
      >>"$dir/zones.conf"
  done
  "$nsd_bin" -d -c "$dir/nsd.conf" >"$dir/stdout.log" 2>&1 &
  echo $! >>"$PELLAMAR_NETNS_RUN/pids"
}

start_unbound() {
  local dir=$top/unbound
  mkdir -p "$dir"
  sed -e "s|@RUN@|$dir|g" -e "s|@HINTS@|$templates/root.hints|g" \
    "$templates/unbound.conf" >"$dir/unbound.conf"
  "$unbound_bin" -d -c "$dir/unbound.conf" >"$dir/stdout.log" 2>&1 &
  echo $! >>"$PELLAMAR_NETNS_RUN/pids"
}

# Sends one SOA question (recursion desired) for the name given as wire labels to
# ADDRESS:53 and succeeds when an answer with the same ID and response code 0 comes back
# within a second.
answers() {
  local address=$1 qname=$2 reply
  reply=$(
    exec 3<>"/dev/udp/$address/53" || exit 1
    printf '\x50\x4d\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00%b\x00\x00\x06\x00\x01' "$qname" >&3
    timeout 1 dd bs=4096 count=1 <&3 2>/dev/null | od -An -tx1 -N4 | tr -d ' \n'
  ) 2>/dev/null || return 1
  # ID 504d, QR set, response code 0 in the low four bits of the fourth byte.
  [[ $reply == 504d8[0-9a-f][0-9a-f]0 ]]
}

# wait_for NAME ADDRESS QNAME LOG-DIRECTORY
wait_for() {
  local name=$1 address=$2 qname=$3 logs=$4 tries=0
  until answers "$address" "$qname"; do
    tries=$((tries + 1))
    if [ $tries -ge 100 ]; then
      echo "start-dnssec: the $name server on $address does not answer; its logs:" >&2
      cat "$logs"/*.log >&2 2>/dev/null || true
      return 1
    fi
    sleep 0.1
  done
}

# The zones below example., children before parents: a parent takes its children's DS.
for file in ed.example ec.example rsa.example bogus-ds.example expired.example \
  edited.example kid.d.cases.example cases.example evil.example evil3.example \
  evil151.example; do
  cp "$templates/$file.zone" "$work/$file.zone"
done
# optout.example.: ldns-signzone -p only sets the opt-out flag; it still gives the
# unsigned delegation an NSEC3 of its own. Signed without it and given it afterwards,
# the delegation is covered by an opt-out NSEC3 instead, as opt-out is meant to be used.
optout_delegation='^unsigned[[:space:]]+IN[[:space:]]+NS[[:space:]]+ns2\.example\.$'
grep -Eq "$optout_delegation" "$templates/optout.example.zone" ||
  fail "optout.example.zone lacks its unsigned delegation"
grep -Ev "$optout_delegation" "$templates/optout.example.zone" >"$work/optout.example.zone"
for file in insecure.example unsigned.optout.example; do
  cp "$templates/$file.zone" "$signed/$file.zone"
done

sign ed.example. ed.example ED25519 "" ""
nsec3=(-n -a 1 -s AABBCCDD -t 5)
sign ec.example. ec.example ECDSAP256SHA256 "" "" "${nsec3[@]}"
sign optout.example. optout.example ECDSAP256SHA256 "" "" "${nsec3[@]}" -p
printf 'unsigned.optout.example.\t300\tIN\tNS\tns2.example.\n' >>"$signed/optout.example.zone"
sign rsa.example. rsa.example RSASHA256 2048 1024
sign bogus-ds.example. bogus-ds.example ECDSAP256SHA256 "" ""
sign expired.example. expired.example ECDSAP256SHA256 "" "" -i 20200101 -e 20200201
sign edited.example. edited.example ECDSAP256SHA256 "" ""
sign kid.d.cases.example. kid.d.cases.example ECDSAP256SHA256 "" ""
cat "$keys/kid.d.cases.example.ds" >>"$work/cases.example.zone"
sign cases.example. cases.example ECDSAP256SHA256 "" ""
sign evil.example. evil.example ED25519 "" ""
sign evil3.example. evil3.example ECDSAP256SHA256 "" "" "${nsec3[@]}"
sign evil151.example. evil151.example ECDSAP256SHA256 "" "" -n -a 1 -s AABBCCDD -t 151

# cases.example.: the NSEC that denies gone.cases.example. loses its RRSIG.
cases=$signed/cases.example.zone
grep -Eq '^five\.cases\.example\.[[:space:]].*RRSIG[[:space:]]+NSEC ' "$cases" ||
  fail "cases.example. has no signed NSEC at five"
sed -i -E '/^five\.cases\.example\.[[:space:]].*RRSIG[[:space:]]+NSEC /d' "$cases"

# evil3.example.: NSD loads no zone with a record outside it; the NSEC3 made for it stays.
sed -i -E '/^ec\.example\.[[:space:]]/d' "$signed/evil3.example.zone"
# evil3.example.: a name whose hash falls after the hash of ec.example. and before the next
# one, so that its NXDOMAIN's NSEC3 covering it is the one named after ec.example.
nsec3_hash=$(find_tool ldns-nsec3-hash)
ec_hash=$("$nsec3_hash" -a 1 -s AABBCCDD -t 5 ec.example.)
ec_hash=${ec_hash%.}
ec_next=$(awk -v owner="$ec_hash.evil3.example." '$1 == owner && $4 == "NSEC3" { print $9 }' \
  "$signed/evil3.example.zone")
[ -n "$ec_next" ] || fail "evil3.example. has no NSEC3 named by the hash of ec.example."
cover=""
for i in $(seq 0 300); do
  hash=$("$nsec3_hash" -a 1 -s AABBCCDD -t 5 "n$i.evil3.example.")
  hash=${hash%.}
  if [[ $ec_hash < $ec_next ]]; then
    [[ $hash > $ec_hash && $hash < $ec_next ]] && cover=n$i.evil3.example. && break
  elif [[ $hash > $ec_hash || $hash < $ec_next ]]; then
    cover=n$i.evil3.example. && break
  fi
done
[ -n "$cover" ] || fail "no name of evil3.example. is covered by the NSEC3 of ec.example."
echo "$cover" >"$top/evil3-cover.name"

# The forged example.: *.example. A signed by ed.example.'s ZSK.
cp "$templates/above-signer.ed.example.zone" "$work/above-signer.zone"
"$signzone" -o ed.example. -i "$inception" -e "$expiration" -f "$work/above-signer.signed" \
  "$work/above-signer.zone" "$(cat "$keys/ed.example.zsk")" ||
  fail "ldns-signzone could not sign the wildcard above ed.example."
# NSD serves RRSIGs only of a zone signed at its apex: the forged example. is signed first
# with a key of its own, then given the wildcard.
forged_key=$(new_key example. ECDSAP256SHA256 "")
"$signzone" -o example. -i "$inception" -e "$expiration" -f "$work/forged.signed" \
  "$templates/forged.example.zone" "$forged_key" ||
  fail "ldns-signzone could not sign the forged example."
{
  cat "$work/forged.signed"
  awk '$1 == "*.example." && ($4 == "A" || ($4 == "RRSIG" && $5 == "A"))' \
    "$work/above-signer.signed"
} >"$signed/forged.example.zone"
[ "$(grep -c '^\*\.example\.' "$signed/forged.example.zone")" = 2 ] ||
  fail "the wildcard above ed.example. was not signed"

# edited.example.: www's new address keeps the RRSIG made over the old one.
edited=$signed/edited.example.zone
sed -i -E 's/^(www\.edited\.example\.[[:space:]]+[0-9]+[[:space:]]+IN[[:space:]]+A[[:space:]]+)192\.0\.2\.53$/\1192.0.2.66/' \
  "$edited"
grep -Eq '^www\.edited\.example\.[[:space:]].*[[:space:]]A[[:space:]]+192\.0\.2\.66$' "$edited" ||
  fail "could not change www's address in the signed edited.example."

# bogus-ds.example.: the DS in example. is that of a key made only for it, never in the zone.
stray=$(new_key bogus-ds.example. ECDSAP256SHA256 "" -k)
ds_of "$stray" >"$keys/bogus-ds.example.ds"

# NSD starts up while the parents are signed.
start_nsd children 127.0.0.12 ed.example. ec.example. optout.example. rsa.example. \
  insecure.example. bogus-ds.example. expired.example. edited.example. \
  unsigned.optout.example. kid.d.cases.example. cases.example. evil.example. evil3.example. \
  evil151.example.

cp "$templates/example.zone" "$work/example.zone"
for file in ed.example ec.example optout.example rsa.example bogus-ds.example \
  expired.example edited.example cases.example evil.example evil3.example \
  evil151.example; do
  cat "$keys/$file.ds" >>"$work/example.zone"
done
sign example. example ECDSAP256SHA256 "" ""
start_nsd tld 127.0.0.11 example.

cp "$templates/root.zone" "$work/root.zone"
cat "$keys/example.ds" >>"$work/root.zone"
sign . root ECDSAP256SHA256 "" ""
start_nsd root 127.0.0.10 .
start_nsd forged 127.0.0.13 example.=forged.example
start_unbound

# The trust anchors: the root KSK's DS and DNSKEY, without TTLs or ldns's comments.
root_ksk=$(cat "$keys/root.ksk")
anchor_line() {
  sed -e 's/;.*//' "$1" | awk 'NF { name = $1; i = 2;
    if ($i ~ /^[0-9]+$/) i++;
    rest = ""; for (j = i; j <= NF; j++) rest = rest (j > i ? " " : "") $j;
    print name " " rest }'
}
anchor_line "$keys/root.ds" >"$top/root.ds"
{ cat "$top/root.ds"; anchor_line "$root_ksk.key"; } >"$top/root.anchor"
if ! grep -q '^\. IN DS ' "$top/root.ds" || ! grep -q '^\. IN DNSKEY 257 ' "$top/root.anchor"; then
  fail "unexpected form of the root KSK's records: $(cat "$top/root.anchor")"
fi
# delv's form: . static-ds KEYTAG ALGORITHM DIGESTTYPE "DIGEST";
read -r _ _ _ tag algorithm digest_type digest <"$top/root.ds"
printf 'trust-anchors {\n    . static-ds %s %s %s "%s";\n};\n' \
  "$tag" "$algorithm" "$digest_type" "$digest" >"$top/delv.anchor"
anchor_line "$keys/ec.example.ds" >"$top/ec.anchor"
read -r _ _ _ tag algorithm digest_type digest <"$top/ec.anchor"
printf 'trust-anchors {\n    ec.example. static-ds %s %s %s "%s";\n};\n' \
  "$tag" "$algorithm" "$digest_type" "$digest" >"$top/delv-ec.anchor"

wait_for root 127.0.0.10 '' "$top/nsd-root"
wait_for example. 127.0.0.11 '\x07example' "$top/nsd-tld"
wait_for children 127.0.0.12 '\x02ed\x07example' "$top/nsd-children"
wait_for forged 127.0.0.13 '\x07example' "$top/nsd-forged"
# Through the root and example. down to a child: the tree is whole once this answers.
wait_for Unbound 127.0.0.53 '\x02ed\x07example' "$top/unbound"
