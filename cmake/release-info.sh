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
  notices | buildinfo) ;;
  *) echo "usage: release-info.sh notices|buildinfo OUT MAP SOURCE_DIR BUILD_DIR ..." >&2; exit 2 ;;
esac
mode=$1 out=$2
shift 2
"write_$mode" "$@" >"$out.partial"
mv "$out.partial" "$out"
