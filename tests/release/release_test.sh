#!/usr/bin/env bash
# The release as an administrator meets it, under Wine:
#   release_test.sh <build dir> <trust_probe.exe> <a stand-in for the dock's updater>
# 1. `release` builds the zip and the MSI, unsigned, and says so once.
# 2. The same packing, signed through the environment with a throwaway
#    certificate made here, given a higher version and the updater to carry,
#    builds the upgrade.
# 3. On Linux: zip and MSI hold the same programs, byte for byte; osslsigncode
#    accepts the signed files and refuses the unsigned and a changed one.
# 4. In the slot's Wine prefix: msiexec /i installs the release (files,
#    shortcut, uninstall entry, icon, the installed console twin runs), the
#    higher version replaces it, the older is then refused with its message,
#    WinVerifyTrust judges the installed files, msiexec /x removes everything.
# Prints one line per check and fails when any check failed.
set -uo pipefail
build=$(cd "$1" && pwd)
probe=$2
updater=$3
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$build/test-work/release_msi
settings=$build/release-settings.cmake

. "$root/scripts/wine-env"
wine_prefix_ready || exit 1
[ "${VARNOCK_WINE_TEST_START:-}" = 1 ] && wine_leftovers_end
xvfb_ready
wineserver_warm
wine_() { timeout -k 5 120 "$WINE_LOADER" "$@"; }

failures=0
checks=0
# check <what> <command...>: one line per check, the command's status decides.
check() {
  local what=$1
  shift
  checks=$((checks + 1))
  if "$@"; then
    echo "ok   $what"
  else
    echo "FAIL $what"
    failures=$((failures + 1))
  fi
}
same() { cmp -s "$1" "$2"; }
differs() { ! cmp -s "$1" "$2"; }
contains() { grep -qF -- "$2" "$1"; }
absent() { [ ! -e "$1" ]; }
not() { ! "$@"; }
matches() { [[ $1 == $2 ]]; }  # matches <text> <pattern>

version=$(sed -n 's/^set(SETTINGS_VERSION "\(.*\)")$/\1/p' "$settings")
IFS=. read -r major minor patch _ <<< "$version"
# Windows Installer sees only the first three numbers: the upgrade raises the third.
next="$major.$minor.$((patch + 1)).0"
release_dir=$build/release
release_msi=$release_dir/VarnockFWUpdate-$version-x64.msi
release_zip=$release_dir/VarnockFWUpdate-$version-win64.zip
signed_dir=$work/signed
signed_msi=$signed_dir/VarnockFWUpdate-$next-x64.msi
signed_zip=$signed_dir/VarnockFWUpdate-$next-win64.zip
programs=(VarnockFWUpdate.exe VarnockFWUpdate-cli.exe)

rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1

# ---- 1. the release command, unsigned -----------------------------------------
env -u VARNOCK_SIGN_PFX -u VARNOCK_SIGN_PASSWORD_FILE -u VARNOCK_SIGN_TIMESTAMP_URL \
  cmake --build "$build" --target release > release-build.txt 2>&1
check "release builds" [ $? = 0 ]
check "release writes the zip" [ -s "$release_zip" ]
check "release writes the MSI" [ -s "$release_msi" ]
check "release says once that it is unsigned" [ "$(grep -c 'is UNSIGNED' release-build.txt)" = 1 ]

# ---- 2. a throwaway certificate, and the signed release of a higher version ----
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout key.pem -out cert.pem \
  -subj "/CN=VarnockFWUpdate Release Test/O=Varnock Test" \
  -addext keyUsage=critical,digitalSignature -addext extendedKeyUsage=codeSigning >/dev/null 2>&1
openssl rand -hex 16 > password.txt
openssl pkcs12 -export -inkey key.pem -in cert.pem -passout file:password.txt -out cert.pfx >/dev/null 2>&1
check "throwaway certificate made" [ -s cert.pfx ]
VARNOCK_SIGN_PFX=$work/cert.pfx VARNOCK_SIGN_PASSWORD_FILE=$work/password.txt \
  cmake -DSETTINGS="$settings" -DVERSION="$next" -DOUT_DIR="$signed_dir" -DWORK_DIR="$work/signed-stage" \
  -DUPDATER_EXE="$updater" \
  -P "$root/packaging/make_release.cmake" > signed-build.txt 2>&1
check "signed release builds from the environment's certificate" [ $? = 0 ]
check "signed release says it is signed" contains signed-build.txt "signed with"
check "signed release does not call itself unsigned" not contains signed-build.txt "UNSIGNED"

# A signing that cannot be done fails the release and leaves no package.
printf 'not-the-password\n' > wrong-password.txt
for row in "a wrong password|$work/cert.pfx|$work/wrong-password.txt" "a certificate without its password|$work/cert.pfx|"; do
  IFS='|' read -r what pfx password <<< "$row"
  mkdir -p "$work/refused/out"
  touch "$work/refused/out/VarnockFWUpdate-$next-win64.zip" "$work/refused/out/VarnockFWUpdate-$next-x64.msi"
  VARNOCK_SIGN_PFX=$pfx VARNOCK_SIGN_PASSWORD_FILE=$password \
    cmake -DSETTINGS="$settings" -DVERSION="$next" -DOUT_DIR="$work/refused/out" -DWORK_DIR="$work/refused/stage" \
    -P "$root/packaging/make_release.cmake" > refused-build.txt 2>&1
  check "$what fails the release" [ $? != 0 ]
  check "$what leaves no package" test -z "$(ls -A "$work/refused/out")"
  rm -rf "$work/refused"
done

# ---- 3. on Linux: the packages' content and osslsigncode ----------------------
unpack() {  # unpack <zip> <msi> <dir>: <dir>/zip and <dir>/msi
  mkdir -p "$3/zip" "$3/msi"
  (cd "$3/zip" && cmake -E tar xf "$1") && msiextract -C "$3/msi" "$2" >/dev/null
}
unpack "$release_zip" "$release_msi" unpacked
unpack "$signed_zip" "$signed_msi" unpacked-signed
# msiextract writes the install folder below the program-files folder.
msi_files=unpacked/msi/Varnock/VarnockFWUpdate
signed_msi_files=unpacked-signed/msi/Varnock/VarnockFWUpdate
for program in "${programs[@]}" README-Windows.txt; do
  check "zip and MSI hold the same $program" same "unpacked/zip/$program" "$msi_files/$program"
  check "signed zip and MSI hold the same $program" same "unpacked-signed/zip/$program" "$signed_msi_files/$program"
done
check "the MSI carries no updater when none is given" absent "$msi_files/varnock_dockupdatefw.exe"
check "the MSI given the updater carries it" same "$signed_msi_files/varnock_dockupdatefw.exe" "$updater"
check "the zip carries no updater" absent "unpacked-signed/zip/varnock_dockupdatefw.exe"
for program in "${programs[@]}"; do
  check "release $program is the build's own" same "unpacked/zip/$program" "$build/stripped/$program"
  check "signed $program differs from the unsigned one" differs "unpacked/zip/$program" "unpacked-signed/zip/$program"
done
check "the MSI refuses a downgrade with its message" contains <(msiinfo export "$release_msi" LaunchCondition) \
  "NOT WIX_DOWNGRADE_DETECTED	A newer version of VarnockFWUpdate is already installed."
check "signed read-me names the higher version" contains "unpacked-signed/zip/README-Windows.txt" "VarnockFWUpdate $next"

verifies() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" > "$work/verify.txt" 2>&1; }
# A copy of the file with one byte in its middle changed.
changed_copy() {
  cp "$1" "$2"
  python3 -c 'import sys; f = open(sys.argv[1], "r+b"); f.seek(0, 2); n = f.tell() // 2; f.seek(n); b = f.read(1); f.seek(n); f.write(bytes([b[0] ^ 0x55]))' "$2"
}
changed_copy "unpacked-signed/zip/VarnockFWUpdate.exe" changed.exe
changed_copy "$signed_msi" changed.msi
for program in "${programs[@]}"; do
  check "osslsigncode verifies signed $program" verifies "unpacked-signed/zip/$program"
  check "signed $program has a SHA-256 digest" grep -q "Message digest algorithm *: SHA256" "$work/verify.txt"
  check "osslsigncode refuses unsigned $program" not verifies "unpacked/zip/$program"
done
check "osslsigncode verifies the signed MSI" verifies "$signed_msi"
check "osslsigncode refuses the unsigned MSI" not verifies "$release_msi"
check "osslsigncode refuses the program with one byte changed" not verifies changed.exe
check "osslsigncode refuses the MSI with one byte changed" not verifies changed.msi

# ---- 4. under Wine --------------------------------------------------------------
win() { winepath -w "$1" 2>/dev/null; }
msiexec_() {  # msiexec_ /i|/x <msi> <log name>: msiexec's exit code
  wine_ msiexec "$1" "$(win "$2")" /qn /l*v "$(win "$work/$3")" </dev/null >/dev/null 2>&1
}
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
# "<key> <DisplayVersion> <Publisher>" for each uninstall entry named VarnockFWUpdate.
entries() {
  wine_ reg query "$uninstall_key" /s 2>/dev/null | tr -d '\r' | awk '
    /^HKEY_/ { if (name == "VarnockFWUpdate") print key, version, publisher; key = $0; name = version = publisher = "" }
    $1 == "DisplayName" { name = $3 }
    $1 == "DisplayVersion" { version = $3 }
    $1 == "Publisher" { publisher = $3 }
    END { if (name == "VarnockFWUpdate") print key, version, publisher }'
}
one_entry() {  # one_entry <version>
  local all
  all=$(entries)
  [ "$(printf '%s\n' "$all" | grep -c .)" = 1 ] && [[ $all == *" $1 Varnock" ]]
}
no_entry() { [ -z "$(entries)" ]; }
registry_key_absent() { ! wine_ reg query "$1" >/dev/null 2>&1; }
# The folder a log's installer resolved for the Start menu (Wine keeps it per user).
menu_folder() { tr -d '\r' < "$1" | sed -n 's/^Property(S): ProgramMenuFolder = \(.*\)$/\1/p' | tail -n 1; }
unix_of() { winepath -u "$1" 2>/dev/null; }

installed=$WINEPREFIX/drive_c/"Program Files"/Varnock/VarnockFWUpdate
# Whatever an earlier, failed run left installed goes first.
msiexec_ /x "$signed_msi" cleanup-signed.log
msiexec_ /x "$release_msi" cleanup-release.log
check "no VarnockFWUpdate installed before the test" no_entry

msiexec_ /i "$release_msi" install.log
check "msiexec /i /qn installs the release (exit 0)" [ $? = 0 ]
for file in "${programs[@]}" README-Windows.txt; do
  check "installed $file is the zip's" same "$installed/$file" "unpacked/zip/$file"
done
check "one uninstall entry, version $version, publisher Varnock" one_entry "$version"
menu=$(unix_of "$(menu_folder install.log)")
check "Start-menu shortcut installed" test -n "$menu" -a -f "$menu/VarnockFWUpdate.lnk"
product_icon=$(wine_ reg query 'HKLM\Software\Classes\Installer\Products' /s 2>/dev/null | tr -d '\r' |
  sed -n 's/^ *ProductIcon *REG_SZ *\(.*VarnockFWUpdate\.ico\)$/\1/p' | head -n 1)
check "the product's icon is the program's" same "$(unix_of "$product_icon")" "$build/resources/app.ico"
wine_ "C:\\Program Files\\Varnock\\VarnockFWUpdate\\VarnockFWUpdate-cli.exe" '/?' > usage.txt 2>&1 </dev/null
check "the installed VarnockFWUpdate-cli.exe /? runs (exit 0)" [ $? = 0 ]
check "the installed console twin prints its usage" contains usage.txt "VarnockFWUpdate-cli.exe /update <image>"

msiexec_ /i "$signed_msi" upgrade.log
check "msiexec /i /qn upgrades to $next (exit 0)" [ $? = 0 ]
check "one uninstall entry afterwards, version $next" one_entry "$next"
check "the updater is installed beside the programs" same "$installed/varnock_dockupdatefw.exe" "$updater"
for file in "${programs[@]}" README-Windows.txt; do
  check "upgraded $file is the new version's" same "$installed/$file" "unpacked-signed/zip/$file"
done

msiexec_ /i "$release_msi" downgrade.log
refused=$?
check "the older MSI is refused (msiexec exit $refused)" [ "$refused" != 0 ]
# Wine's log keeps no launch-condition text: the detected newer product stands for it.
check "the refusal comes from the newer version found" contains downgrade.log "WIX_DOWNGRADE_DETECTED = {"
check "still one entry, version $next, after the refusal" one_entry "$next"
check "the refusal left the newer programs" same "$installed/VarnockFWUpdate.exe" "unpacked-signed/zip/VarnockFWUpdate.exe"

cp "unpacked/zip/VarnockFWUpdate.exe" unsigned.exe
wine_ "$probe" "C:\\Program Files\\Varnock\\VarnockFWUpdate\\VarnockFWUpdate.exe" \
  "C:\\Program Files\\Varnock\\VarnockFWUpdate\\VarnockFWUpdate-cli.exe" \
  "$(win "$work/changed.exe")" "$(win "$work/unsigned.exe")" \
  "$(win "$signed_msi")" "$(win "$release_msi")" > trust.txt 2>&1 </dev/null
mapfile -t trust < <(tr -d '\r' < trust.txt)
signer="CN=VarnockFWUpdate Release Test"
check "WinVerifyTrust accepts the installed VarnockFWUpdate.exe, signed by the test's certificate" \
  matches "${trust[0]:-}" "0x00000000 $signer, O=Varnock Test"
check "WinVerifyTrust accepts the installed VarnockFWUpdate-cli.exe, signed by the test's certificate" \
  matches "${trust[1]:-}" "0x00000000 $signer, O=Varnock Test"
check "WinVerifyTrust finds the changed byte (TRUST_E_BAD_DIGEST)" matches "${trust[2]:-}" "0x80096010 *"
check "WinVerifyTrust finds no signature on the unsigned program (TRUST_E_NOSIGNATURE)" matches "${trust[3]:-}" "0x800B0100 *"
# (Wine's MSI check takes a changed byte in the package for a good one: only osslsigncode checks that above.)
check "WinVerifyTrust accepts the signed MSI, signed by the test's certificate" \
  matches "${trust[4]:-}" "0x00000000 $signer, O=Varnock Test"
check "WinVerifyTrust finds no signature on the unsigned MSI" matches "${trust[5]:-}" "0x800B0100 *"

msiexec_ /x "$signed_msi" uninstall.log
check "msiexec /x /qn uninstalls (exit 0)" [ $? = 0 ]
check "no uninstall entry is left" no_entry
check "the program folder is gone" absent "$installed"
check "the maker's folder is gone" absent "$WINEPREFIX/drive_c/Program Files/Varnock"
check "the Start-menu shortcut is gone" absent "$menu/VarnockFWUpdate.lnk"
check "the product's registry key is gone" registry_key_absent 'HKLM\Software\Varnock'

echo "release test: $((checks - failures)) of $checks checks passed"
[ "$failures" = 0 ]
