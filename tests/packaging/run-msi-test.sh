#!/usr/bin/env bash
# The MSI as a Windows user meets it, under 32-bit Wine in a prefix of its own made afresh in build/msi-test (no other
# test's prefix is touched, and HOME points there too, so nothing is written outside it): the MSI's tables; a silent
# install; qbv-flash.exe --version and --check found through the PATH the MSI set; the window opened through its
# Start-menu shortcut, far enough to read its title and About box; a newer MSI (the same files, the next version,
# made by the build's own make-msi.sh) installed over it, leaving one copy; an older one refused then; the uninstall,
# after which no file, shortcut or PATH entry is left. Also: an MSI whose version is not the .deb's is refused.
#   run-msi-test.sh VERSION MSI MAKE_MSI WINDOW_OPERATOR_EXE MAKE_SAMPLE_IMAGE REFERENCE_QBV_FLASH
# Prints "ok: ..." at the end and exits 0, or a FAIL line per fault and exits 1 (the folder is then kept for a look).
set -u
VERSION="$1"
MSI="$(realpath "$2")" MAKE_MSI="$(realpath "$3")" WINDOW_OPERATOR="$(realpath "$4")"
MAKE_SAMPLE_IMAGE="$(realpath "$5")" REFERENCE_FLASH="$(realpath "$6")"
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
UPGRADE_CODE="{047B9B81-CE4D-440A-AAD0-17ED1E99B82E}"  # every release's: another one would install beside the old
PRODUCT="QBV download tools"
MANUFACTURER="QBV download tool team"
MAIN_CAPTION="DOWNLOAD PROGRAM Ver.1.20"
INSTALL_DIR='C:\Program Files\QBV download tools\'
# The shortcut, in the all users' Start menu on Windows; Wine's installer puts it in the user's.
SHORTCUT='Start Menu/Programs/QBV download tools/QBV download tool.lnk'
PROGRAM_FILES=(README.txt licence.txt qbv-flash.exe qbv_download.exe)
DEADLINE=900  # seconds for any one Wine program: generous on a busy 2-core machine under emulation
IMAGE_BYTES=20000
IMAGE_SEED=11

work="$ROOT/build/msi-test"
status=0
started=$SECONDS
fail() { echo "FAIL: $*"; status=1; }
step() { echo "-- $* ($((SECONDS - started)) s)"; }
win() { local path="$1"; echo "Z:${path//\//\\}"; }         # a Linux path as Wine's Z: drive names it
unix() { local path="${1//\\//}"; echo "$WINEPREFIX/drive_c/${path#C:/}"; }  # a C: path in the prefix

QBV_ROOT="$ROOT"
source "$ROOT/scripts/wine32.sh"
qbv_ensure_wine32 >/dev/null || { echo "FAIL: no 32-bit Wine"; exit 1; }
wineserver_of_prefix_killed() { [ -d "$WINEPREFIX" ] && wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1; }
export WINEPREFIX="$work/prefix" HOME="$work/home" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
unset XDG_CONFIG_HOME XDG_DATA_HOME XDG_CACHE_HOME
wineserver_of_prefix_killed
rm -rf "$work"
mkdir -p "$work/home" "$work/run" "$work/msi" || exit 1
finish() {
    wineserver_of_prefix_killed
    if [ $status -eq 0 ]; then rm -rf "$work"; else echo "the prefix and the logs are kept in $work"; fi
}
trap finish EXIT

# wine PROGRAM ARGUMENT...: a Windows program of the prefix, within the deadline, from the folder run/.
wine_run() { (cd "$work/run" && timeout -k 10 "$DEADLINE" "$QBV_WINE" "$@"); }
# msi_table MSI TABLE: the table's rows, tab-separated, without the three header lines.
msi_table() { msiinfo export "$1" "$2" | tr -d '\r' | tail -n +4; }
msi_property() { msi_table "$1" Property | awk -F '\t' -v name="$2" '$1 == name {print $2}'; }
# reg KIND ...: read the prefix's machine registry (system.reg, written once its server has ended).
reg() {
    wineserver -w
    python3 - "$WINEPREFIX/system.reg" "$@" <<'PY'
import re, sys
path, kind, args = sys.argv[1], sys.argv[2], sys.argv[3:]
keys, current = {}, None
unescape = lambda text: re.sub(r'\\(.)', r'\1', text)
for line in open(path, encoding="utf-8", errors="replace"):
    line = line.rstrip("\n")
    header = re.match(r'^\[(.*)\](?: \d+)?$', line)
    if header:
        current = keys.setdefault(unescape(header.group(1)).lower(), {})
        continue
    value = re.match(r'^"((?:[^"\\]|\\.)*)"=(?:str\(\d\):)?"((?:[^"\\]|\\.)*)"$', line)
    if value and current is not None:
        current[unescape(value.group(1)).lower()] = unescape(value.group(2))
if kind == "value":    # value KEY NAME: the string, or nothing
    print(keys.get(args[0].lower(), {}).get(args[1].lower(), ""))
elif kind == "path":   # path: the system PATH's entries, one a line
    environment = keys.get(r"system\currentcontrolset\control\session manager\environment", {})
    print("\n".join(entry for entry in environment.get("path", "").split(";") if entry))
elif kind == "installed":  # installed NAME: "PRODUCT_CODE VERSION" of each program in the uninstall list named NAME
    prefix = "software\\microsoft\\windows\\currentversion\\uninstall\\"
    for key, values in sorted(keys.items()):
        if key.startswith(prefix) and values.get("displayname") == args[0]:
            print(key[len(prefix):].upper(), values.get("displayversion", ""))
PY
}
# found_through_path: where cmd finds qbv-flash.exe through the PATH, or nothing.
found_through_path() {
    wine_run cmd /c 'for %i in (qbv-flash.exe) do @echo found:%~$PATH:i' 2>/dev/null | tr -d '\r' | sed -n 's/^found://p'
}
# start_menu_entries: every file and folder of ours in a Start menu, one a line.
start_menu_entries() {
    find "$WINEPREFIX/drive_c/ProgramData" "$WINEPREFIX/drive_c/users" -ipath '*/Start Menu/*QBV*' 2>/dev/null | sort
}
# installed_files: the names in the install folder, one a line ("gone" when there is no folder).
installed_files() { if [ -d "$(unix "$INSTALL_DIR")" ]; then ls -A "$(unix "$INSTALL_DIR")"; else echo gone; fi; }

# ---- The MSI's tables, and the newer one made by the build's own make-msi.sh.
step "the tables of $(basename "$MSI")"
[ "$(basename "$MSI")" = "qbv-tools-$VERSION-x86.msi" ] || fail "the MSI is named $(basename "$MSI")"
for pair in "ProductName=$PRODUCT" "ProductVersion=$VERSION" "Manufacturer=$MANUFACTURER" \
            "UpgradeCode=$UPGRADE_CODE" "ALLUSERS=1"; do
    [ "$(msi_property "$MSI" "${pair%%=*}")" = "${pair#*=}" ] ||
        fail "property ${pair%%=*} is \"$(msi_property "$MSI" "${pair%%=*}")\", expected \"${pair#*=}\""
done
msiinfo suminfo "$MSI" | grep -qx 'Template: Intel;1033' || fail "the MSI is not for 32-bit x86 (its template)"
files="$(msi_table "$MSI" File | awk -F '\t' '{print $3 " " $5}' | sort)"
[ "$files" = "$(printf '%s\n' "README.txt " "licence.txt " "qbv-flash.exe $VERSION.0" "qbv_download.exe $VERSION.0")" ] ||
    fail "the MSI's files and versions: $(echo $files)"
msi_table "$MSI" Shortcut | awk -F '\t' '{print $2 "|" $3 "|" $5 "|" $12}' |
    grep -qxF 'ProgramMenuDir|QBV download tool|[INSTALLDIR]qbv_download.exe|INSTALLDIR' ||
    fail "no Start-menu shortcut to [INSTALLDIR]qbv_download.exe: $(msi_table "$MSI" Shortcut)"
[ "$(msi_table "$MSI" Environment | cut -f 2-4)" = "$(printf '=-*PATH\t[~];[INSTALLDIR]\tFlash')" ] ||
    fail "the PATH entry is not [INSTALLDIR] appended and removed again: $(msi_table "$MSI" Environment)"
for file in qbv_download_config.txt lk207.dll; do
    msi_table "$MSI" RemoveFile | cut -f 3-5 | grep -qxF "$(printf '%s\tINSTALLDIR\t2' "$file")" ||
        fail "the uninstall does not remove $file, which the window writes beside itself"
done
msi_table "$MSI" Upgrade | cut -f 1-5 | grep -qxF "$(printf '%s\t\t%s\t\t513' "$UPGRADE_CODE" "$VERSION")" ||
    fail "the MSI does not replace an installed copy up to its own version: $(msi_table "$MSI" Upgrade)"
mkdir "$work/extracted"
(cd "$work/extracted" && msiextract "$MSI" >/dev/null) || fail "msiextract cannot read the MSI"
for file in qbv_download.exe qbv-flash.exe; do
    cmp -s "$work/extracted/Program Files/QBV download tools/$file" "$(dirname "$WINDOW_OPERATOR")/$file" ||
        fail "the MSI's $file is not the build's"
done

next="${VERSION%.*}.$((${VERSION##*.} + 1))"
newer="$work/msi/qbv-tools-$next-x86.msi"
{ echo "qbv-flash ($next-1) bookworm; urgency=medium"; echo; echo "  * The next version, for the upgrade test."; echo
  cat "$ROOT/packaging/changelog"; } > "$work/msi/changelog"
bash "$MAKE_MSI" --version "$next" --changelog "$work/msi/changelog" --out "$newer" || fail "make-msi.sh made no $next MSI"
[ "$(msi_property "$newer" UpgradeCode)" = "$UPGRADE_CODE" ] || fail "the newer MSI has another UpgradeCode"
[ "$(msi_property "$newer" ProductCode)" != "$(msi_property "$MSI" ProductCode)" ] ||
    fail "the newer MSI has the same ProductCode"
refusal="$(bash "$MAKE_MSI" --version "$next" --out "$work/msi/mismatch.msi" 2>&1)"
[ $? -ne 0 ] && [ "$(echo "$refusal" | wc -l)" = 1 ] && ! [ -e "$work/msi/mismatch.msi" ] ||
    fail "an MSI whose version is not the .deb's was not refused in one line: $refusal"
echo "$refusal"

# ---- A fresh prefix, then the silent install.
step "a fresh 32-bit prefix"
wine_run wineboot -i >/dev/null 2>&1
path_before="$(reg path)"
[ -n "$path_before" ] || { fail "the new prefix has no system PATH"; exit 1; }

step "msiexec /i $(basename "$MSI") /qn"
wine_run msiexec /i "$(win "$MSI")" /qn /l*v "$(win "$work/install.log")" || fail "msiexec /i exited with $?"
[ "$(installed_files)" = "$(printf '%s\n' "${PROGRAM_FILES[@]}")" ] ||
    fail "the install folder holds: $(installed_files | tr '\n' ' ')"
cmp -s "$(unix "$INSTALL_DIR")qbv_download.exe" "$(dirname "$WINDOW_OPERATOR")/qbv_download.exe" ||
    fail "the installed qbv_download.exe is not the build's"
shortcut="$(start_menu_entries | grep -F "/$SHORTCUT")"
[ "$(start_menu_entries | wc -l)" = 2 ] && [ -n "$shortcut" ] && [ -f "$shortcut" ] ||
    fail "the Start menu does not hold the one shortcut $SHORTCUT: $(start_menu_entries)"
shortcut="C:\\$(echo "${shortcut#"$WINEPREFIX/drive_c/"}" | tr / '\\')"
[ "$(reg path)" = "$(printf '%s\n%s' "$path_before" "$INSTALL_DIR")" ] ||
    fail "the system PATH is not the old one and the install folder: $(reg path | tr '\n' ';')"
installed="$(reg installed "$PRODUCT")"
[ "$(echo "$installed" | wc -l)" = 1 ] && [ "${installed#* }" = "$VERSION" ] || fail "installed: $installed"

# ---- qbv-flash.exe through the PATH, from a folder holding only the image.
step "qbv-flash.exe --version and --check through the PATH"
"$MAKE_SAMPLE_IMAGE" "$work/run/image.bin" "$IMAGE_BYTES" "$IMAGE_SEED" >/dev/null || fail "no sample image"
found="$(found_through_path)"
[ "$found" = "${INSTALL_DIR}qbv-flash.exe" ] || fail "the PATH finds qbv-flash.exe at \"$found\""
said="$(wine_run cmd /c qbv-flash --version 2>/dev/null | tr -d '\r')"
[ "$said" = "qbv-flash $VERSION" ] || fail "qbv-flash --version through the PATH says \"$said\""
checked="$(wine_run cmd /c qbv-flash --check image.bin 2>/dev/null | tr -d '\r')"
expected="$(cd "$work/run" && "$REFERENCE_FLASH" --check image.bin 2>/dev/null)"
[ -n "$checked" ] && [ "$checked" = "$expected" ] ||
    fail "qbv-flash --check image.bin says \"$checked\", the Linux build \"$expected\""

# ---- The window through its shortcut: its title and About box, then closed.
step "the window through its Start-menu shortcut"
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '"$@"; status=$?; wineserver -w; exit $status' _ \
    timeout -k 10 "$DEADLINE" "$QBV_WINE" "$(win "$WINDOW_OPERATOR")" shortcut "$shortcut" > "$work/window.txt" 2>&1 ||
    fail "window-operator shortcut exited with $?: $(tr -d '\r' < "$work/window.txt" | grep -v '^$' | tail -n 3)"
window="$(tr -d '\r' < "$work/window.txt")"
echo "$window" | grep '^shortcut target\|^title\|^about'
echo "$window" | grep -q "^shortcut target ${INSTALL_DIR//\\/\\\\}qbv_download.exe in " ||
    fail "the shortcut does not start ${INSTALL_DIR}qbv_download.exe"
echo "$window" | grep -qxF "title \"$MAIN_CAPTION\"" || fail "the window's title is not $MAIN_CAPTION"
echo "$window" | grep -q "^about box \"About\":.* \"qbv_download Application v$VERSION\"" ||
    fail "the About box does not name version $VERSION"
[ -f "$(unix "$INSTALL_DIR")qbv_download_config.txt" ] || fail "the window wrote no settings beside itself"

# ---- The next version over it: one copy; then the older one refused.
step "msiexec /i $(basename "$newer") /qn over it"
wine_run msiexec /i "$(win "$newer")" /qn /l*v "$(win "$work/upgrade.log")" || fail "msiexec /i of the newer MSI exited with $?"
installed="$(reg installed "$PRODUCT")"
[ "$(echo "$installed" | wc -l)" = 1 ] && [ "${installed#* }" = "$next" ] ||
    fail "after the upgrade, installed: $(echo $installed)"
[ "$(installed_files)" = "$(printf '%s\n' "${PROGRAM_FILES[@]}")" ] ||
    fail "after the upgrade the install folder holds: $(installed_files | tr '\n' ' ')"
[ "$(start_menu_entries | wc -l)" = 2 ] && [ -n "$(start_menu_entries | grep -F "/$SHORTCUT")" ] ||
    fail "after the upgrade the Start menu holds: $(start_menu_entries)"
[ "$(reg path)" = "$(printf '%s\n%s' "$path_before" "$INSTALL_DIR")" ] ||
    fail "after the upgrade the system PATH is: $(reg path | tr '\n' ';')"

step "msiexec /i $(basename "$MSI") /qn refused over the newer one"
wine_run msiexec /i "$(win "$MSI")" /qn /l*v "$(win "$work/downgrade.log")" && fail "the older MSI installed over the newer"
[ "$(reg installed "$PRODUCT")" = "$installed" ] || fail "the refused older MSI changed what is installed"

# ---- The uninstall, as Programs and Features starts it: by the product code.
step "msiexec /x ${installed%% *} /qn"
wine_run msiexec /x "${installed%% *}" /qn /l*v "$(win "$work/uninstall.log")" || fail "msiexec /x exited with $?"
[ "$(installed_files)" = gone ] || fail "after the uninstall the install folder holds: $(installed_files | tr '\n' ' ')"
[ -z "$(start_menu_entries)" ] || fail "after the uninstall the Start menu holds: $(start_menu_entries)"
[ "$(reg path)" = "$path_before" ] || fail "after the uninstall the system PATH is: $(reg path | tr '\n' ';')"
[ -z "$(reg installed "$PRODUCT")" ] || fail "after the uninstall, still installed: $(reg installed "$PRODUCT")"
[ -z "$(reg value "Software\\$MANUFACTURER\\$PRODUCT" StartMenuShortcut)" ] ||
    fail "after the uninstall the shortcut's registry value is left"
found="$(found_through_path)"
[ -z "$found" ] || fail "after the uninstall the PATH still finds qbv-flash.exe at $found"

step "done"
for log in install upgrade downgrade uninstall; do
    [ $status -eq 0 ] || { echo "== the end of $log.log:"; tr -d '\0' < "$work/$log.log" 2>/dev/null | tail -n 5; }
done
[ $status -eq 0 ] && echo "ok: the MSI installs silently, qbv-flash and the window run, a newer MSI replaces it, the uninstall leaves nothing"
exit $status
