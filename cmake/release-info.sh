#!/usr/bin/env bash
# What the release package says about how it was made. It reads the link map
# and asks dpkg, so nothing about licences or versions is written by hand.
#   release-info.sh notices OUT MAP SOURCE_DIR BUILD_DIR
#     THIRD-PARTY-NOTICES.txt: for every Debian package whose libraries the
#     link put into the image, its version, those libraries and its
#     copyright file
#   release-info.sh buildinfo OUT MAP SOURCE_DIR BUILD_DIR VERSION PLATFORM PRESET SUM_FILE \
#                   COMPILER TOOL...
#     BUILDINFO: `Key: value` lines for rebuilding and checking the image;
#     SUM_FILE: sha256sum's line for the image as built, before any signing;
#     COMPILER and TOOL: the programs that built it, as absolute paths (the
#     compiler's own cc1plus, ld and <windows.h> are added)
#   release-info.sh sbom OUT MAP SOURCE_DIR BUILD_DIR VERSION PLATFORM SUM_FILE
#     zarvel-uri.cdx.json: a CycloneDX 1.6 software bill of materials of the
#     image as built, naming the packages of the notices with their licences
# OUT is written whole or not at all. Lists are sorted, so that the package
# stays reproducible.
set -euo pipefail
export LC_ALL=C

# The libraries and start-up objects from outside this project that the map
# shows in the image: archives that gave at least one member, and objects
# loaded whole. One absolute path per line.
linked_files() {
  local map=$1 source=$2 build=$3
  {
    awk '/^Archive member included/ { in_members = 1; next }
         /^(Discarded input sections|Memory Configuration)/ { in_members = 0 }
         in_members && /^[^ \t]/ { sub(/\(.*/, ""); print }' "$map"
    awk '$1 == "LOAD" && $2 ~ /\.o$/ { print $2 }' "$map"
  } | while read -r file; do
    case $file in /*) ;; *) continue ;; esac  # relative: this build's own
    file=$(realpath -m -s "$file")
    case $file in "$build"/* | "$source"/*) continue ;; esac
    echo "$file"
  done | sort -u
}

# The Debian package that owns a file, as dpkg names it.
owner() {
  local file=$1 found
  found=$(dpkg -S "$file" 2>/dev/null || dpkg -S "$(realpath -e "$file")" 2>/dev/null) || {
    echo "release-info: no Debian package owns $file" >&2
    return 1
  }
  found=${found%%: *}
  echo "${found%%, *}"
}

package_version() {
  dpkg-query -W -f='${Version}' "$1"
}

# "package<TAB>file" for every linked file.
linked_packages() {
  local file package
  linked_files "$@" | while read -r file; do
    package=$(owner "$file") || exit 1
    printf '%s\t%s\n' "$package" "$file"
  done | sort -u
}

# The file names that the pairs list under one package, on one line.
libraries_of() {
  awk -F'\t' -v p="$1" '$1 == p { n = split($2, a, "/"); print a[n] }' <<<"$2" \
    | sort -u | paste -sd' '
}

write_notices() {
  local pairs packages package rule copyright
  pairs=$(linked_packages "$@")
  [ -n "$pairs" ] || { echo "release-info: the map names no libraries" >&2; return 1; }
  rule=$(printf '=%.0s' {1..79})
  cat <<'EOF'
Third-party notices for zarvel-uri.exe

zarvel-uri.exe is linked statically. Besides its own code it holds parts of
the libraries below, taken from these Debian packages. Each package's
copyright file follows, as Debian ships it; it names the licences that apply.

EOF
  packages=$(cut -f1 <<<"$pairs" | sort -u)
  for package in $packages; do
    echo "$package $(package_version "$package"): $(libraries_of "$package" "$pairs")"
  done
  # Packages built from one source often share one copyright file; it is
  # given once.
  declare -A given
  for package in $packages; do
    printf '\n%s\nPackage: %s\nVersion: %s\nLibraries: %s\n\n' "$rule" "$package" \
      "$(package_version "$package")" "$(libraries_of "$package" "$pairs")"
    copyright=$(realpath -e "/usr/share/doc/$package/copyright")
    if [ -n "${given[$copyright]:-}" ]; then
      echo "Its copyright file is the one given above for ${given[$copyright]}."
    else
      given[$copyright]=$package
      cat "$copyright"
    fi
  done
}

# A JSON string of a text without control characters (write_sbom checks).
json_string() {
  local text=${1//\\/\\\\}
  printf '"%s"' "${text//\"/\\\"}"
}

# A purl's name, version or qualifier value: all but letters, digits and
# . _ ~ - percent-encoded, as package URLs ask (so + is %2B).
purl_encoded() {
  local text=$1 out= char i
  for ((i = 0; i < ${#text}; i++)); do
    char=${text:i:1}
    case $char in
      [A-Za-z0-9._~-]) out+=$char ;;
      *) out+=$(printf '%%%02X' "'$char") ;;
    esac
  done
  echo "$out"
}

# Licences, as SPDX expressions, of what the link takes from a package: where
# each linked package's come from.
#   mingw-w64: its copyright file is machine-readable. The License fields of
#     the stanzas whose Files cover the runtime that the image links, the CRT
#     and winpthreads (not profiling, not tests), through spdx_name below.
#   gcc: its copyright file is free-form. The GCC runtime's expression, stated
#     here with the file's own words that say so, which must stand in it.
declare -A licence_source=(
  [mingw-w64-i686-dev]=mingw-w64
  [mingw-w64-x86-64-dev]=mingw-w64
  [gcc-mingw-w64-i686-posix]=gcc
  [g++-mingw-w64-i686-posix]=gcc
  [gcc-mingw-w64-x86-64-posix]=gcc
  [g++-mingw-w64-x86-64-posix]=gcc
)
mingw_runtime='^(\*|mingw-w64-crt/|mingw-w64-libraries/winpthreads/)'
mingw_not_linked='^(mingw-w64-crt/(profile|testcases)/'
mingw_not_linked+='|mingw-w64-libraries/winpthreads/tests_pthread/)'
gcc_runtime='GPL-3.0-or-later WITH GCC-exception-3.1'
gcc_runtime_words='The following runtime libraries are licensed under the terms of the GNU'
gcc_runtime_words+=' General Public License (v3 or later) with version 3.1 of the GCC Runtime'
gcc_runtime_words+=' Library Exception'
# Debian's short names, as SPDX names those licences; LicenseRef- for those
# that SPDX has no identifier for.
declare -A spdx_name=(
  [ZPL-2.1]=ZPL-2.1
  [expat]=MIT
  [ISC]=ISC
  [BSD-2-clause-NetBSD]=BSD-2-Clause
  [BSD-3-clause]=BSD-3-Clause
  [BSD-3-clause-Lockless]=BSD-3-Clause
  [public-domain]=LicenseRef-public-domain
  [Lucent]=LicenseRef-Lucent
  [David-Gay]=LicenseRef-David-Gay
  [Permissive-Sun]=LicenseRef-Permissive-Sun
  [Keith-Marshall]=LicenseRef-Keith-Marshall
)

# The License fields of the copyright file's stanzas that have a Files
# pattern matching RUNTIME and not NOT_LINKED, one per line.
runtime_licence_fields() {  # COPYRIGHT RUNTIME NOT_LINKED
  awk -v runtime="$2" -v not_linked="$3" '
    BEGIN { RS = ""; FS = "\n" }
    {
      files = ""; licence = ""; in_files = 0
      for (i = 1; i <= NF; i++) {
        line = $i
        if (line ~ /^Files:/) {
          sub(/^Files:[ \t]*/, "", line)
          files = line; in_files = 1
          continue
        }
        if (in_files && line ~ /^[ \t]/) { files = files " " line; continue }
        in_files = 0
        if (line ~ /^License:/) { sub(/^License:[ \t]*/, "", line); licence = line }
      }
      n = split(files, patterns, /[ \t]+/)
      for (j = 1; j <= n; j++) {
        if (patterns[j] != "" && patterns[j] ~ runtime && patterns[j] !~ not_linked) {
          print licence
          break
        }
      }
    }' "$1"
}

# "<declared|concluded> <expression>" for a package, or a failure for one
# that neither table knows: nothing is guessed.
licence_of() {
  local package=$1 copyright field term terms=()
  copyright=/usr/share/doc/$package/copyright
  case ${licence_source[$package]:-} in
  mingw-w64)
    head -n1 "$copyright" | grep -q '^Format: .*copyright-format/1\.0' || {
      echo "release-info: $copyright is not machine-readable" >&2
      return 1
    }
    while read -r field; do
      # Debian joins licences with "and" or "or"; only "and" is expected here.
      if [[ " $field " == *" or "* ]]; then
        echo "release-info: '$field' offers a choice" >&2
        return 1
      fi
      for term in ${field// and / }; do
        [ -n "${spdx_name[$term]:-}" ] ||
          { echo "release-info: no SPDX name for '$term' of $package" >&2; return 1; }
        terms+=("${spdx_name[$term]}")
      done
    done < <(runtime_licence_fields "$copyright" "$mingw_runtime" "$mingw_not_linked")
    [ ${#terms[@]} -gt 0 ] || { echo "release-info: no licence found for $package" >&2; return 1; }
    echo "declared $(printf '%s\n' "${terms[@]}" | sort -u | paste -sd' ' | sed 's/ / AND /g')"
    ;;
  gcc)
    tr -s '[:space:]' ' ' <"$copyright" | grep -qF "$gcc_runtime_words" || {
      echo "release-info: $copyright no longer says: $gcc_runtime_words" >&2
      return 1
    }
    echo "concluded $gcc_runtime"
    ;;
  *)
    echo "release-info: no licence table entry for $package" >&2
    return 1
    ;;
  esac
}

# A name-based (version 5) UUID of a name, in the URL namespace.
name_uuid() {
  local hash
  hash=$({ printf '\x6b\xa7\xb8\x11\x9d\xad\x11\xd1\x80\xb4\x00\xc0\x4f\xd4\x30\xc8'
           printf '%s' "$1"; } | sha1sum | cut -c1-32)
  printf '%s-%s-5%s-%x%s-%s\n' "${hash:0:8}" "${hash:8:4}" "${hash:13:3}" \
    $(((16#${hash:16:2} & 0x3f) | 0x80)) "${hash:18:2}" "${hash:20:12}"
}

# The bill of materials without its serial number, which is derived from it.
sbom_body() {
  local map=$1 source=$2 build=$3 version=$4 platform=$5 sum_file=$6
  local pairs packages package package_version_here commit epoch arch purl
  local acknowledgement expression refs=() first=1
  pairs=$(linked_packages "$map" "$source" "$build")
  packages=$(cut -f1 <<<"$pairs" | sort -u)
  commit=$(git -C "$source" rev-parse --verify HEAD 2>/dev/null) || commit=
  epoch=${SOURCE_DATE_EPOCH:-}
  if [ -z "$epoch" ] && [ -n "$commit" ]; then
    epoch=$(git -C "$source" log -1 --format=%ct "$commit")
  fi
  printf '{\n  "$schema": "http://cyclonedx.org/schema/bom-1.6.schema.json",\n'
  printf '  "bomFormat": "CycloneDX",\n  "specVersion": "1.6",\n  "serialNumber": "@SERIAL@",\n'
  printf '  "version": 1,\n  "metadata": {\n'
  [ -n "$epoch" ] && printf '    "timestamp": "%s",\n' "$(date -u -d "@$epoch" +%Y-%m-%dT%H:%M:%SZ)"
  printf '    "lifecycles": [{"phase": "build"}],\n'
  printf '    "component": {\n      "type": "application",\n      "bom-ref": "zarvel-uri",\n'
  printf '      "name": "zarvel-uri",\n      "version": %s,\n' "$(json_string "$version")"
  printf '      "description": %s,\n' \
    "$(json_string "zarvel-uri.exe for $platform, as built, before any signing")"
  printf '      "hashes": [{"alg": "SHA-256", "content": "%s"}],\n' "$(cut -d' ' -f1 "$sum_file")"
  printf '      "licenses": [{"license": {"id": "MIT", "acknowledgement": "declared"}}]'
  if [ -n "$commit" ]; then
    printf ',\n      "pedigree": {"commits": [{"uid": "%s"}]' "$commit"
    [ -n "$(git -C "$source" status --porcelain --untracked-files=no)" ] &&
      printf ', "notes": "built from this commit with uncommitted changes"'
    printf '}'
  fi
  printf '\n    }\n  },\n  "components": ['
  for package in $packages; do
    package_version_here=$(package_version "$package")
    purl="pkg:deb/debian/$(purl_encoded "$package")@$(purl_encoded "$package_version_here")"
    arch=$(dpkg-query -W -f='${Architecture}' "$package")
    purl+="?arch=$(purl_encoded "$arch")&distro=debian-12"
    read -r acknowledgement expression < <(licence_of "$package") || return 1
    [ $first = 1 ] || printf ','
    first=0
    refs+=("$(json_string "$purl")")
    printf '\n    {\n      "type": "library",\n      "bom-ref": %s,\n' "$(json_string "$purl")"
    printf '      "publisher": "Debian",\n      "name": %s,\n' "$(json_string "$package")"
    printf '      "version": %s,\n' "$(json_string "$package_version_here")"
    printf '      "description": %s,\n' \
      "$(json_string "Linked into the image: $(libraries_of "$package" "$pairs")")"
    printf '      "licenses": [{"expression": %s, "acknowledgement": "%s"}],\n' \
      "$(json_string "$expression")" "$acknowledgement"
    printf '      "purl": %s\n    }' "$(json_string "$purl")"
  done
  printf '\n  ],\n  "dependencies": [\n    {"ref": "zarvel-uri", "dependsOn": [%s]}\n  ]\n}\n' \
    "$(IFS=,; sed 's/,/, /g' <<<"${refs[*]}")"
}

write_sbom() {
  local body
  body=$(sbom_body "$@") || return 1
  # The lines are this script's; a control character within one came from a
  # name or version, and json_string does not escape it.
  if [[ ${body//$'\n'/} == *[[:cntrl:]]* ]]; then
    echo "release-info: a control character in the bill of materials" >&2
    return 1
  fi
  sed "s/@SERIAL@/urn:uuid:$(name_uuid "$(sha256sum <<<"$body" | cut -d' ' -f1)")/" <<<"$body"
}

# The <windows.h> that the compiler reads.
windows_header() {
  echo '#include <windows.h>' | "$1" -E -H -x c++ - 2>&1 >/dev/null |
    awk '$1 == "." { print $2; exit }'
}

write_buildinfo() {
  local map=$1 source=$2 build=$3 version=$4 platform=$5 preset=$6 sum_file=$7
  shift 7
  local commit changes=unknown tool package packages image_sha256
  image_sha256=$(cut -d' ' -f1 "$sum_file")
  if commit=$(git -C "$source" rev-parse --verify HEAD 2>/dev/null); then
    if [ -n "$(git -C "$source" status --porcelain --untracked-files=no)" ]; then
      changes=yes
    else
      changes=no
    fi
  else
    commit=unknown
  fi
  . /etc/os-release
  packages=$({
    for tool in "$@" "$("$1" -print-prog-name=cc1plus)" "$("$1" -print-prog-name=ld)" \
                "$(windows_header "$1")"; do
      owner "$tool" || exit 1
    done
    linked_packages "$map" "$source" "$build" | cut -f1
  } | sort -u)
  echo "Name: zarvel-uri"
  echo "Version: $version"
  echo "Platform: $platform"
  echo "Preset: ${preset:-none}"
  echo "Commit: $commit"
  echo "Uncommitted-Changes: $changes"
  echo "Debian-Release: $(cat /etc/debian_version) ($VERSION_CODENAME)"
  for package in $packages; do
    echo "Package: $package $(package_version "$package")"
  done
  echo "Image-SHA256: $image_sha256"
}

case ${1:-} in
  notices | buildinfo | sbom) ;;
  *)
    echo "usage: release-info.sh notices|buildinfo|sbom OUT MAP SOURCE_DIR BUILD_DIR ..." >&2
    exit 2
    ;;
esac
mode=$1 out=$2
shift 2
"write_$mode" "$@" >"$out.partial"
mv "$out.partial" "$out"
