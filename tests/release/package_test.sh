#!/usr/bin/env bash
# Builds the release package and checks it: the sums file verifies; the zip
# holds the image, its debug file, README, docs/, CHANGELOG, LICENSE, the notices,
# BUILDINFO and the bill of materials; the notices name every library and
# start-up object that the release program reads in the link map; CycloneDX's
# library accepts the bill of materials, which names the notices' packages
# and BUILDINFO's image (and a copy naming another image or lacking a package
# is caught). Then tools/verify-release.sh, run from a clone whose main branch
# holds this commit, meets the package, a signed copy and zips that an attacker
# built from them (hostile_zips.py), in a hostile environment too; each row
# must give its exit status and verdict on one printable line, run no payload
# and write nothing outside.
#   package_test.sh SOURCE_DIR BUILD_DIR PACKAGE_NAME
set -euo pipefail
source=$1 build=$2 name=$3
rm -f "$build/$name.zip" "$build/$name.SHA256SUMS"
cmake --build "$build" --target package >/dev/null
cd "$build"
sha256sum -c "$name.SHA256SUMS"
expected="BUILDINFO CHANGELOG.md LICENSE README.md THIRD-PARTY-NOTICES.txt docs/development.md"
expected+=" docs/installers.md docs/release.md docs/security.md zarvel-uri.cdx.json"
expected+=" zarvel-uri.exe zarvel-uri.exe.debug"
actual=$(cmake -E tar tf "$name.zip" | sed "s|^$name/||" | grep -v '/$' | sort | paste -sd' ')
echo "zip holds: $actual"
[ "$actual" = "$expected" ]

work=$build/package-test
rm -rf "$work"
mkdir -p "$work"
(cd "$work" && cmake -E tar xf "$build/$name.zip")
notices=$work/$name/THIRD-PARTY-NOTICES.txt
# Every library and start-up object of another package, as the program reads the map.
/usr/bin/python3 -I - "$source/tools" zarvel-uri.map "$source" "$build" \
  >"$work/linked.txt" <<'EOF'
import sys
sys.path.insert(0, sys.argv[1])
import release_info
for package, files in release_info.linked_packages(*sys.argv[2:]).items():
    print("\n".join(f"{package} {file}" for file in files))
EOF
grep -q '/crt2\.o$' "$work/linked.txt" || { echo "the map's start-up objects are not read"; exit 1; }
while read -r package file; do
  library=${file##*/} package=${package%%:*}
  grep -q "^Package: $package\$" "$notices" || { echo "notices lack $package"; exit 1; }
  grep -q "^$package [^:]*:.* $library\\b" "$notices" ||
    { echo "notices do not list $library under $package"; exit 1; }
  echo "notices name $package for $library"
done <"$work/linked.txt"

sbom=$work/$name/zarvel-uri.cdx.json
edit_sbom() {  # OUT JAVASCRIPT: a copy of the bill of materials, `bom` changed by JAVASCRIPT
  node -e 'const fs = require("fs");
    const bom = JSON.parse(fs.readFileSync(process.argv[1], "utf8"));
    '"$2"';
    fs.writeFileSync(process.argv[2], JSON.stringify(bom, null, 2));' "$sbom" "$1"
}
edit_sbom "$work/other-image.cdx.json" 'bom.metadata.component.hashes[0].content = "0".repeat(64)'
edit_sbom "$work/package-left-out.cdx.json" 'bom.components.pop()'
# bill of materials, the exit status its check must give
while read -r file status; do
  set +e
  NODE_PATH=$source/tools/npm/node_modules node "$source/tests/release/check-sbom.js" \
    "$work/$file" "$work/$name/BUILDINFO" "$notices"
  actual=$?
  set -e
  echo "$file: exit $actual"
  [ "$actual" = "$status" ]
done <<EOF
$name/zarvel-uri.cdx.json 0
other-image.cdx.json 1
package-left-out.cdx.json 1
EOF

if grep -q '^Uncommitted-Changes: no$' "$work/$name/BUILDINFO"; then :; else
  echo "skipped: the tree has uncommitted changes, so its commit does not rebuild this zip"
  exit 77
fi

# The verifier rebuilds only a release commit: one of its clone's main branch.
# This clone's main holds the package's commit and, after it, one declaring an
# older version; beside them lie a commit on no branch and one on a stranger's
# branch, whose builds would leave a mark.
commit=$(sed -n 's/^Commit: //p' "$work/$name/BUILDINFO")
clone=$work/clone marks=$work/marks outside=$work/outside
mkdir "$marks" "$outside"
chmod 1777 "$marks"  # a payload that ran unprivileged leaves its mark too
git clone --quiet --no-local "$source" "$clone"
git -C "$clone" -c advice.detachedHead=false checkout --quiet --detach "$commit"
with_cmakelists() {  # SED_SCRIPT: a new commit after the package's, its CMakeLists.txt changed
  local blob tree index=$work/index
  rm -f "$index"
  GIT_INDEX_FILE=$index git -C "$clone" read-tree "$commit"
  blob=$(git -C "$clone" show "$commit:CMakeLists.txt" | sed "$1" |
         git -C "$clone" hash-object -w --stdin)
  GIT_INDEX_FILE=$index git -C "$clone" update-index --cacheinfo "100644,$blob,CMakeLists.txt"
  tree=$(GIT_INDEX_FILE=$index git -C "$clone" write-tree)
  git -C "$clone" -c user.name=test -c user.email=test@example.invalid \
    commit-tree "$tree" -p "$commit" -m "$1"
}
payload="\$a execute_process(COMMAND sh -c \"id -u >$marks/build-payload\")"
dangling=$(with_cmakelists "$payload")
stranger=$(with_cmakelists "$payload # from a pull request")
git -C "$clone" branch stranger/pull-request "$stranger"
older=$(with_cmakelists 's/^project(zarvel_uri VERSION [0-9.]*/project(zarvel_uri VERSION 0.9.0/')
git -C "$clone" update-ref refs/heads/main "$older"
verifier=$clone/tools/verify-release.sh

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=zarvel-uri test signer" \
  -addext "extendedKeyUsage=codeSigning" -keyout "$work/key.pem" -out "$work/certificate.pem" \
  2>/dev/null
cp "$work/$name/zarvel-uri.exe" "$work/signed.exe"
bash "$source/tools/sign.sh" "$work/signed.exe" "$work/certificate.pem" "$work/key.pem" >/dev/null
osslsigncode sign -h sha1 -certs "$work/certificate.pem" -key "$work/key.pem" \
  -in "$work/$name/zarvel-uri.exe" -out "$work/sha1-signed.exe" >/dev/null
rows=$work/rows
/usr/bin/python3 -I "$source/tests/release/hostile_zips.py" "$build/$name.zip" "$work/signed.exe" \
  "$work/sha1-signed.exe" "$rows" "$marks" "$outside" "$dangling" "$stranger" "$older"
(cd "$rows/module-in-folder" && cmake -E tar xf "$name.zip")  # as the receiver unpacked it

# The hostile environment: a current folder holding Python modules, PYTHON*
# variables naming them and turning on verbose and interactive modes, a TMPDIR
# that does not exist and holds a `;`, compiler flags, a PATH whose first
# programs leave a mark, and standard error on a full device.
payloads=$work/payloads
mkdir -p "$payloads/debian"
for module in license_expression debian/__init__ debian/copyright sitecustomize startup; do
  echo "open('$marks/python-${module//\//.}', 'w').write('ran')" >"$payloads/$module.py"
done
for program in git cmake setpriv id python3 osslsigncode openssl env sh; do
  printf '#!/bin/sh\necho ran >"%s/program-%s"\nexit 1\n' "$marks" "$program" \
    >"$payloads/$program"
  chmod +x "$payloads/$program"
done

# Runs the verifier on a row's zip; sets `line` and `status`.
verify_row() {  # ROW
  local zip=$rows/$1/$name.zip
  status=0
  case $1 in
    module-in-folder)
      line=$(cd "$rows/$1" && timeout 600 "$verifier" "$zip") || status=$? ;;
    hostile-environment)
      line=$(cd "$payloads" && env TMPDIR="$work/no such;folder" PYTHONPATH="$payloads" \
        PYTHONSTARTUP="$payloads/startup.py" PYTHONVERBOSE=1 PYTHONINSPECT=1 PYTHONHOME=/ \
        CFLAGS=-O0 CXXFLAGS=-O0 CPPFLAGS=-DTAMPERED LDFLAGS=-s PATH="$payloads:$PATH" \
        timeout 600 "$verifier" "$zip" 2>/dev/full) || status=$? ;;
    terminated)
      terminate "$zip" ;;
    *)
      line=$(timeout 600 "$verifier" "$zip") || status=$? ;;
  esac
}

# SIGTERM to the verifier alone while it rebuilds: the rebuild ran
# unprivileged, and afterwards none of its processes runs and its folder is gone.
terminate() {  # ZIP
  local pid child='' folder
  "$verifier" "$1" >"$work/terminated.out" &
  pid=$!
  for _ in $(seq 2400); do
    child=$(pgrep -P "$pid" -f '^cmake --build ' || true)
    [ -n "$child" ] && break
    sleep 0.25
  done
  read -r user _ _ folder _ <<<"$(ps -o user=,args= -p "${child:-0}")"
  echo "rebuilding as $user in $folder"
  if [ -z "$child" ] || { [ "$(id -u)" = 0 ] && [ "$user" != nobody ]; } ||
     [ "$user" = root ]; then
    echo "no unprivileged rebuild seen"
    kill -KILL "$pid" "$child" 2>/dev/null || true
    wait "$pid" || true
    status=no-rebuild line=
    return
  fi
  kill -TERM "$pid"
  wait "$pid" || status=$?
  line=$(cat "$work/terminated.out")
  folder=${folder%/source/*}
  if pgrep -g "$child" >/dev/null || [ -e "$folder" ]; then
    echo "left behind: $(pgrep -a -g "$child") $(ls -d "$folder" 2>/dev/null)"
    kill -KILL -- "-$child" 2>/dev/null || kill -KILL "$child" 2>/dev/null || true
    status=left-behind
  fi
}

# row, the presets it runs in, the exit status and the verdict it must give.
# The package as built, then its signed copy in the hostile environment; then
# the attacks of a security review, each as it was found (a module for Python
# in the current folder; names that unzippers read differently; commits that
# are no release; a broken signature; files beside the image altered or added;
# escape sequences; exhaustion; a preset that makes no release; SIGTERM while
# it rebuilds); then what came before. Each rebuild takes a while, so the rows
# that rebuild beyond the package and its signed copy run in win32 only (the
# product); a refusal comes before any rebuild, and those rows run in both.
while read -r row presets expected_status verdict; do
  [[ $presets == *${name##*-}* ]] || continue
  before=$(ls -A "$rows/$row")
  verify_row "$row"
  echo "$row: $line (exit $status)"
  # One line, printable: nothing from the zip reaches the terminal raw.
  if ! [ "$status" = "$expected_status" ] || ! [[ $line == "$verdict: "* ]] ||
     [ "$(wc -l <<<"$line")" != 1 ] || LC_ALL=C grep -q '[^ -~]' <<<"$line"; then
    echo "$row: expected exit $expected_status and one printable line \"$verdict: ...\""
    exit 1
  fi
  [ -z "$(ls -A "$marks")" ] || { echo "$row: a payload ran: $(ls "$marks")"; exit 1; }
  [ -z "$(ls -A "$outside")" ] || { echo "$row: written outside: $(ls "$outside")"; exit 1; }
  [ "$(ls -A "$rows/$row")" = "$before" ] ||
    { echo "$row: written beside the zip: $(ls -A "$rows/$row")"; exit 1; }
done <<EOF
genuine win32,win64 0 reproduced
hostile-environment win32,win64 0 reproduced
module-in-folder win32,win64 2 cannot check
unicode-path win32,win64 2 cannot check
case-twin win32,win64 2 cannot check
dangling-commit win32,win64 2 cannot check
stranger-branch win32,win64 2 cannot check
older-version win32,win64 2 cannot check
undeclared-version win32,win64 2 cannot check
broken-signature win32,win64 1 differs
altered-debug win32 1 differs
altered-readme win32 1 differs
extra-program win32 1 differs
escaped-field win32,win64 2 cannot check
escaped-name win32,win64 2 cannot check
many-packages win32,win64 2 cannot check
big-bill win32,win64 2 cannot check
many-folders win32,win64 2 cannot check
fifo win32,win64 2 cannot check
native-preset win32,win64 2 cannot check
terminated win32 2 cannot check
signed-changed win32,win64 1 differs
sha1-signature win32,win64 2 cannot check
no-buildinfo win32,win64 2 cannot check
through-link win32,win64 2 cannot check
link win32,win64 2 cannot check
absolute win32,win64 2 cannot check
climbing win32,win64 2 cannot check
EOF
rm -rf "$work"
