#!/usr/bin/env bash
# Checks a release zip against the sources: rebuilds the image of the commit
# that its BUILDINFO names, from this repository (no network), and compares
# it with the zip's zarvel-uri.exe. An unsigned image must match byte for
# byte; a signed one must carry the Authenticode digest of the rebuild. The
# bill of materials, where the zip has one, must name BUILDINFO's image.
#   tools/verify-release.sh ZIP
# Prints one line. Exit status: 0 reproduced, 1 differs, 2 cannot check
# (no BUILDINFO or image in the zip, a commit this repository lacks, or a
# failed rebuild). Toolchain versions that differ from BUILDINFO's are
# warned about on standard error.
set -euo pipefail
export LC_ALL=C

cannot_check() {
  echo "cannot check: $*"
  exit 2
}

[ $# -eq 1 ] || { echo "usage: tools/verify-release.sh ZIP" >&2; exit 2; }
zip_name=$1
zip=$(realpath -e "$zip_name" 2>/dev/null) || cannot_check "no such file: $zip_name"
repository=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The zip comes from elsewhere: nothing in it may land outside the folder.
listing=$(cmake -E tar tf "$zip" 2>/dev/null) || cannot_check "$zip_name is not a readable zip"
if grep -qE '^/|(^|/)\.\.(/|$)' <<<"$listing"; then
  cannot_check "$zip_name names files outside its own folder"
fi
mkdir "$work/zip"
(cd "$work/zip" && cmake -E tar xf "$zip" >/dev/null 2>&1) ||
  cannot_check "$zip_name is not a readable zip"
only_file() {  # NAME [optional]: sets `found` to the path of the zip's only file of that name
  found=$(find "$work/zip" -name "$1" -type f)
  [ -n "$found" ] || [ "${2:-}" = optional ] || cannot_check "$zip_name holds no $1"
  [ "$(wc -l <<<"$found")" -le 1 ] || cannot_check "$zip_name holds more than one $1"
}
only_file BUILDINFO && buildinfo=$found
only_file zarvel-uri.exe && image=$found
# Releases before 1.2.0 have none.
only_file zarvel-uri.cdx.json optional && sbom=$found

field() {  # the value of a BUILDINFO key
  sed -n "s/^$1: //p" "$buildinfo" | head -n1
}
commit=$(field Commit) preset=$(field Preset) recorded_sha256=$(field Image-SHA256)
if ! [[ $commit =~ ^[0-9a-f]{40}$ ]] ||
   ! git -C "$repository" cat-file -e "$commit^{commit}" 2>/dev/null; then
  cannot_check "this repository has no commit '${commit:-}' (BUILDINFO's Commit)"
fi
[[ $preset =~ ^[A-Za-z0-9_-]+$ ]] && [ "$preset" != none ] ||
  cannot_check "BUILDINFO names no preset"
[ "$(field Uncommitted-Changes)" = no ] ||
  echo "warning: the package was built with uncommitted changes; rebuilding $commit" >&2

if [ -n "$sbom" ]; then
  sbom_sha256=$(node -e '
    const bom = JSON.parse(require("fs").readFileSync(process.argv[1], "utf8"));
    const hashes = ((bom.metadata || {}).component || {}).hashes || [];
    const image = hashes.find((hash) => hash.alg === "SHA-256");
    console.log(image ? image.content : "none");' "$sbom" 2>/dev/null) || sbom_sha256="unreadable"
  if [ "$sbom_sha256" != "$recorded_sha256" ]; then
    echo "differs: zarvel-uri.cdx.json names the image sha256 $sbom_sha256," \
         "BUILDINFO records $recorded_sha256"
    exit 1
  fi
fi

sed -n 's/^Package: //p' "$buildinfo" | while read -r package version; do
  if ! [[ $package =~ ^[a-z0-9][a-z0-9+.-]*(:[a-z0-9-]+)?$ ]]; then
    echo "warning: BUILDINFO names a package '$package', which is no package name" >&2
    continue
  fi
  here=$(dpkg-query -W -f='${Version}' "$package" 2>/dev/null) || here="not installed"
  [ "$here" = "$version" ] ||
    echo "warning: BUILDINFO names $package $version; this machine has $here" >&2
done

mkdir "$work/source"
git -C "$repository" archive "$commit" | tar -C "$work/source" -xf -
if ! { cmake -S "$work/source" --preset "$preset" -DBUILD_TESTING=OFF &&
       cmake --build "$work/source/build/$preset" --target zarvel-uri; } \
     >"$work/build.log" 2>&1; then
  tail -n 20 "$work/build.log" >&2
  cannot_check "commit $commit did not build with preset $preset"
fi
rebuilt=$work/source/build/$preset/zarvel-uri.exe
rebuilt_sha256=$(sha256sum "$rebuilt" | cut -d' ' -f1)
of_commit="commit $commit built with preset $preset"

if [ "$rebuilt_sha256" != "$recorded_sha256" ]; then
  echo "differs: the rebuild of $of_commit has sha256 $rebuilt_sha256," \
       "BUILDINFO records $recorded_sha256"
  exit 1
fi

# osslsigncode reports the primary signature's digest ("Current") and the
# digest of the bytes it covers ("Calculated"); it exits 1 on an untrusted
# certificate too, so only its report is read.
digests() {  # IMAGE; prints: algorithm current calculated, or nothing if unsigned
  osslsigncode verify -in "$1" 2>/dev/null | awk -F': *' '
    function first_word(text) { split(text, words, " "); return words[1] }
    /^Message digest algorithm/ && !algorithm { algorithm = first_word($2) }
    /^Current message digest/ && !current { current = first_word($2) }
    /^Calculated message digest/ && !calculated { calculated = first_word($2) }
    END { if (current) print algorithm, current, calculated }' || true
}

read -r algorithm signed_digest covered_digest < <(digests "$image") || true
if [ -z "${signed_digest:-}" ]; then
  image_sha256=$(sha256sum "$image" | cut -d' ' -f1)
  if cmp -s "$image" "$rebuilt"; then
    echo "reproduced: zarvel-uri.exe (sha256 $image_sha256) is $of_commit"
    exit 0
  fi
  sizes=("$(stat -c %s "$image")" "$(stat -c %s "$rebuilt")")
  if [ "${sizes[0]}" != "${sizes[1]}" ]; then
    where="it has ${sizes[0]} bytes, the rebuild ${sizes[1]}"
  else
    # cmp counts from 1; a file offset counts from 0.
    where="first at offset $({ cmp "$image" "$rebuilt" || true; } | awk '{ print $5 - 1 }')"
  fi
  echo "differs: zarvel-uri.exe (sha256 $image_sha256) is not $of_commit" \
       "(sha256 $rebuilt_sha256): $where"
  exit 1
fi

if [ "$signed_digest" != "$covered_digest" ]; then
  echo "differs: zarvel-uri.exe's bytes have the $algorithm digest $covered_digest," \
       "its signature holds $signed_digest"
  exit 1
fi
# The digest covers the image padded as signing pads it, so the rebuild is
# signed too, with a throwaway certificate and the same algorithm.
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=verify-release" \
  -keyout "$work/key.pem" -out "$work/certificate.pem" >/dev/null 2>&1
osslsigncode sign -h "$(tr 'A-Z' 'a-z' <<<"$algorithm")" -certs "$work/certificate.pem" \
  -key "$work/key.pem" -in "$rebuilt" -out "$work/rebuilt-signed.exe" >/dev/null
read -r _ rebuilt_digest _ < <(digests "$work/rebuilt-signed.exe")
if [ "$signed_digest" = "$rebuilt_digest" ]; then
  echo "reproduced: signed zarvel-uri.exe ($algorithm Authenticode digest $signed_digest) is" \
       "$of_commit (sha256 $rebuilt_sha256)"
  exit 0
fi
echo "differs: signed zarvel-uri.exe has the $algorithm Authenticode digest $signed_digest," \
     "$of_commit has $rebuilt_digest"
exit 1
