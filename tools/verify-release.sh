#!/usr/bin/env bash
# Checks a release zip against the sources: rebuilds the image of the commit
# that its BUILDINFO names, from this repository (no network), and compares
# it with the zip's zarvel-uri.exe. An unsigned image must match byte for
# byte; a signed one must carry the Authenticode digest of the rebuild. The
# bill of materials, where the zip has one, must name BUILDINFO's image.
#   tools/verify-release.sh ZIP
# Prints one line. Exit status: 0 reproduced, 1 differs, 2 cannot check
# (a zip that is not a release or would write outside its folder, a commit
# this repository lacks, a tool missing or failing, or a failed rebuild).
# Toolchain versions that differ from BUILDINFO's are warned about on
# standard error.
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
python=/usr/bin/python3
release_info=("$python" "$repository/tools/release_info.py")
for tool in "$python" git cmake make osslsigncode openssl; do
  command -v "$tool" >/dev/null || cannot_check "$tool is missing: run tools/install-deps.sh"
done
"$python" -c 'import debian.copyright, license_expression' 2>/dev/null ||
  cannot_check "python3-debian or python3-license-expression is missing: run tools/install-deps.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The zip comes from elsewhere: nothing in it may land outside its folder,
# and it is looked at whole before anything is written.
mkdir "$work/zip"
refusal=$("${release_info[@]}" unpack "$zip" "$work/zip" 2>&1) ||
  cannot_check "$zip_name is not unpacked: ${refusal#release_info: }"
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
  sbom_sha256=$("${release_info[@]}" image-sha256 "$sbom") ||
    cannot_check "zarvel-uri.cdx.json could not be read"
  if [ "$sbom_sha256" != "$recorded_sha256" ]; then
    echo "differs: zarvel-uri.cdx.json names the image sha256 $sbom_sha256," \
         "BUILDINFO records $recorded_sha256"
    exit 1
  fi
fi

# osslsigncode tells the primary signature's digest and the digest of the
# bytes it covers; where it can tell neither nor that there is no signature,
# nothing can be said.
signature() {  # IMAGE NAME...: reads "algorithm signed covered", or "unsigned", into NAME...
  local answer
  answer=$("${release_info[@]}" signature "$1" 2>&1) ||
    cannot_check "the signature of $(basename "$1") could not be read: ${answer#release_info: }"
  read -r "${@:2}" <<<"$answer"
}
signature "$image" algorithm signed_digest covered_digest

sed -n 's/^Package: //p' "$buildinfo" | while read -r package version; do
  if ! [[ $package =~ ^[a-z0-9][a-z0-9+.-]*(:[a-z0-9-]+)?$ ]]; then
    echo "warning: BUILDINFO names a package '$package', which is no package name" >&2
    continue
  fi
  here=$(dpkg-query -W -f='${Version}' "$package" 2>/dev/null) || here="not installed"
  [ "$here" = "$version" ] ||
    echo "warning: BUILDINFO names $package $version; this machine has $here" >&2
done

# Only the commit and the toolchain decide the bytes: the rebuild runs in an
# empty environment but for PATH (Debian's folders), HOME (a folder of its
# own) and LC_ALL=C. So CFLAGS, CXXFLAGS, CPPFLAGS, LDFLAGS, CC, CXX, the
# CMAKE_* variables, SOURCE_DATE_EPOCH and every other variable are cleared.
mkdir "$work/source" "$work/home"
git -C "$repository" archive "$commit" | tar -C "$work/source" -xf - ||
  cannot_check "git could not export commit $commit"
clean=(env -i PATH=/usr/bin:/bin:/usr/sbin:/sbin HOME="$work/home" LC_ALL=C)
if ! { "${clean[@]}" cmake -S "$work/source" --preset "$preset" -DBUILD_TESTING=OFF &&
       "${clean[@]}" cmake --build "$work/source/build/$preset" --target zarvel-uri; } \
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

if [ "$algorithm" = unsigned ]; then
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
  -keyout "$work/key.pem" -out "$work/certificate.pem" >/dev/null 2>&1 ||
  cannot_check "openssl could not make a throwaway certificate"
osslsigncode sign -h "$(tr 'A-Z' 'a-z' <<<"$algorithm")" -certs "$work/certificate.pem" \
  -key "$work/key.pem" -in "$rebuilt" -out "$work/rebuilt-signed.exe" >/dev/null 2>&1 ||
  cannot_check "osslsigncode could not sign the rebuild"
signature "$work/rebuilt-signed.exe" _ rebuilt_digest _
if [ "$signed_digest" = "$rebuilt_digest" ]; then
  echo "reproduced: signed zarvel-uri.exe ($algorithm Authenticode digest $signed_digest) is" \
       "$of_commit (sha256 $rebuilt_sha256)"
  exit 0
fi
echo "differs: signed zarvel-uri.exe has the $algorithm Authenticode digest $signed_digest," \
     "$of_commit has $rebuilt_digest"
exit 1
