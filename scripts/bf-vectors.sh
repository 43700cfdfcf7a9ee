#!/usr/bin/env bash
# Writes Blowfish reference cases made by OpenSSL's command line (legacy
# provider) over random keys, IVs and data, for the Windows-side test to check
# our cipher against. Runs natively.
#
#   scripts/bf-vectors.sh <out-file> <count>
#
# One case a line:  MODE KEYHEX IVHEX PLAINHEX CIPHERHEX
# MODE is ECB, CBC or CFB (64-bit feedback); IVHEX is "-" for ECB. The IV is
# the initial chain block: L from bytes 0-3, R from bytes 4-7, big-endian.
#
# Key lengths: `openssl enc -K` always keys Blowfish with 16 bytes, padding a
# shorter hex key with zeros and cutting a longer one (with a warning). So
# 16-byte keys are given to it as they are. A key of 1, 2, 4 or 8 bytes is
# given repeated to 16 bytes: the key schedule uses the key cyclically over
# 72 bytes, and for a length dividing 16 both byte streams are the same, so
# OpenSSL then runs exactly our key schedule for the short key. Other lengths
# cannot be reached through `openssl enc` and are not emitted (the published
# variable-key vectors in the unit test cover 1 to 24 bytes).
set -euo pipefail

if [ $# -ne 2 ] || ! [[ "$2" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 <out-file> <count>" >&2
  exit 2
fi
out="$1"
count="$2"

command -v openssl >/dev/null || { echo "bf-vectors: openssl not found" >&2; exit 1; }

ossl=(-provider legacy -provider default)
tmp="$(mktemp)"
errf="$(mktemp)"
trap 'rm -f "$tmp" "$errf"' EXIT

hex_to_bin() { printf '%b' "$(printf '%s' "$1" | sed 's/../\\x&/g')"; }
bin_to_hex() { od -An -v -tx1 | tr -d ' \n' | tr 'a-f' 'A-F'; }
rand_hex() { openssl rand -hex "$1" | tr 'a-f' 'A-F'; }
# Random number in [0, n) from OpenSSL's generator.
rand_below() { echo $(( 0x$(openssl rand -hex 4) % $1 )); }

# Runs one encryption; fails loudly if OpenSSL warned (it would then not have
# used the key as given) or produced the wrong amount of output.
openssl_encrypt() {  # cipher key16hex ivhex datahex
  local cipher="$1" key="$2" iv="$3" data="$4" res
  local ivopt=()
  [ "$iv" != "-" ] && ivopt=(-iv "$iv")
  res="$(hex_to_bin "$data" |
    openssl enc "-$cipher" -e -nopad -K "$key" "${ivopt[@]}" "${ossl[@]}" 2>"$errf" | bin_to_hex)"
  if [ -s "$errf" ]; then
    echo "bf-vectors: openssl said: $(cat "$errf")" >&2
    return 1
  fi
  if [ "${#res}" -ne "${#data}" ]; then
    echo "bf-vectors: openssl gave ${#res} hex digits for ${#data}" >&2
    return 1
  fi
  printf '%s' "$res"
}

# The legacy provider must really be there, and give the standard answer.
known="$(openssl_encrypt bf-ecb 00000000000000000000000000000000 - 0000000000000000)" || exit 1
if [ "$known" != "4EF997456198DD78" ]; then
  echo "bf-vectors: openssl's Blowfish gives $known for the zero key and block" >&2
  exit 1
fi

modes=(ECB CBC CFB)
ciphers=(bf-ecb bf-cbc bf-cfb)
keylens=(16 8 16 4 16 2 16 1)
{
  echo "# Blowfish cases from $(openssl version) (legacy provider): MODE KEY IV PLAIN CIPHER"
  for ((i = 0; i < count; i++)); do
    m=$((i % 3))
    klen=${keylens[$((i % ${#keylens[@]}))]}
    key="$(rand_hex "$klen")"
    key16="$key"
    while [ "${#key16}" -lt 32 ]; do key16="$key16$key"; done
    # 1 to 48 blocks, with the single block and a long run always present.
    case $i in
      0|1|2) blocks=1 ;;
      3|4|5) blocks=128 ;;
      *) blocks=$((1 + $(rand_below 48))) ;;
    esac
    data="$(rand_hex $((blocks * 8)))"
    iv="-"
    [ "$m" -ne 0 ] && iv="$(rand_hex 8)"
    ct="$(openssl_encrypt "${ciphers[$m]}" "$key16" "$iv" "$data")" || exit 1
    echo "${modes[$m]} $key $iv $data $ct"
  done
} >"$tmp"

mv "$tmp" "$out"
trap 'rm -f "$errf"' EXIT
echo "bf-vectors: wrote $count cases to $out"
