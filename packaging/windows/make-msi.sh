#!/usr/bin/env bash
# Makes the MSI of the download tools from qbv-tools.wxs with wixl (msitools), then adds with msibuild what wixl
# reads no element for (see the .wxs). Run by the win32 build (the target `msi`, through the wrapper the build writes
# with its own paths); later options win, so that one option can be given again to change it.
#   make-msi.sh --version V --changelog FILE --wxs FILE --bin DIR --readme FILE --licence FILE --icon FILE
#               --product NAME --manufacturer NAME --out FILE.msi
# Stops with one line, and leaves no MSI, when V is not the version of packaging/changelog's latest entry (the
# .deb's) or a tool fails.
set -u
version="" changelog="" wxs="" bin="" readme="" licence="" icon="" product="" manufacturer="" out=""
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || { echo "make-msi.sh: $1 needs a value"; exit 1; }
    case "$1" in
        --version) version="$2" ;;
        --changelog) changelog="$2" ;;
        --wxs) wxs="$2" ;;
        --bin) bin="$2" ;;
        --readme) readme="$2" ;;
        --licence) licence="$2" ;;
        --icon) icon="$2" ;;
        --product) product="$2" ;;
        --manufacturer) manufacturer="$2" ;;
        --out) out="$2" ;;
        *) echo "make-msi.sh: unknown option $1"; exit 1 ;;
    esac
    shift 2
done
for option in version changelog wxs bin readme licence icon product manufacturer out; do
    [ -n "${!option}" ] || { echo "make-msi.sh: --$option is missing"; exit 1; }
done
name="$(basename "$out")"
rm -f "$out"

# The .deb's version: "qbv-flash (VERSION-REVISION) ..." on the changelog's first line.
entry="$(head -n 1 "$changelog" 2>/dev/null)"
deb_version="$(echo "$entry" | sed -n 's/^[a-z0-9][a-z0-9.+-]* (\([0-9][A-Za-z0-9.+~]*\)-[A-Za-z0-9.+~]*) .*/\1/p')"
if [ "$deb_version" != "$version" ]; then
    echo "$name: the MSI's version $version is not the .deb's (${deb_version:-none}, the latest entry of $changelog): add an entry for $version-1 on top"
    exit 1
fi
[[ "$version" =~ ^[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,5}$ ]] ||
    { echo "$name: $version is not a Windows Installer version (MAJOR.MINOR.PATCH, at most 255.255.65535)"; exit 1; }

work="$(mktemp -d "${TMPDIR:-/tmp}/qbv-msi-XXXXXX")"
trap 'rm -rf "$work"' EXIT
fail() { echo "$name: $1"; rm -f "$out"; exit 1; }

# The files in one folder, wixl's working folder, where it looks for them: the programs, the icon, and the documents
# as Windows text files.
files="$work/files"
mkdir "$files" && cp "$bin/qbv_download.exe" "$bin/qbv-flash.exe" "$files/" && cp "$icon" "$files/qbv_download.ico" ||
    fail "cannot gather the files from $bin"
sed 's/\r*$/\r/' "$readme" > "$files/README.txt" && sed 's/\r*$/\r/' "$licence" > "$files/licence.txt" ||
    fail "cannot copy the README or the licence"

wxs="$(cd "$(dirname "$wxs")" && pwd)/$(basename "$wxs")"
(cd "$files" && wixl --arch x86 --define "Version=$version" --define "ProductName=$product" \
     --define "Manufacturer=$manufacturer" --output "$work/qbv-tools.msi" "$wxs") > "$work/wixl.log" 2>&1 ||
    fail "wixl failed: $(grep -v -x '[[:space:]]*' "$work/wixl.log" | tail -n 1)"

# sql QUERY: one change of the database; wixl's rows are named by the .wxs's ids.
msi="$work/qbv-tools.msi"
sql() { msibuild "$msi" -q "$1" > "$work/msibuild.log" 2>&1 || fail "msibuild failed on: $1"; }
upgrade_code="$(msiinfo export "$msi" Property | tr -d '\r' | awk -F '\t' '$1 == "UpgradeCode" {print $2}')"
[ -n "$upgrade_code" ] || fail "wixl's MSI has no UpgradeCode"

# The programs are versioned files (their version resources name the project's version), which wixl leaves blank.
for file in qbv_download.exe qbv_flash.exe; do
    sql "UPDATE \`File\` SET \`Version\` = '$version.0', \`Language\` = '1033' WHERE \`File\` = '$file'"
done

# INSTALLDIR at the end of the system PATH ("=" set at install, "-" removed at uninstall, "*" the system's; "[~];"
# before the value appends it to what PATH holds).
sql 'CREATE TABLE `Environment` (`Environment` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL LOCALIZABLE,
     `Value` CHAR(255) LOCALIZABLE, `Component_` CHAR(72) NOT NULL PRIMARY KEY `Environment`)'
sql "INSERT INTO \`Environment\` (\`Environment\`, \`Name\`, \`Value\`, \`Component_\`)
     VALUES ('PathInstallDir', '=-*PATH', '[~];[INSTALLDIR]', 'Flash')"
sql "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('RemoveEnvironmentStrings', 3300)"
sql "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('WriteEnvironmentStrings', 5200)"

# What the window writes beside itself goes at uninstall (install mode 2), and so does the folder then.
for file in qbv_download_config.txt lk207.dll; do
    sql "INSERT INTO \`RemoveFile\` (\`FileKey\`, \`Component_\`, \`FileName\`, \`DirProperty\`, \`InstallMode\`)
         VALUES ('Remove_${file//[^A-Za-z0-9]/_}', 'Window', '$file', 'INSTALLDIR', 2)"
done
sql "INSERT INTO \`RemoveFile\` (\`FileKey\`, \`Component_\`, \`DirProperty\`, \`InstallMode\`)
     VALUES ('RemoveInstallDir', 'Window', 'INSTALLDIR', 2)"

# An installed copy of this same version is replaced too (wixl's upgrade row stops below it): its maximum version
# becomes inclusive (attribute 512, besides 1: migrate the feature states).
sql "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'"
sql "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`)
     VALUES ('$upgrade_code', '$version', 513, 'WIX_UPGRADE_DETECTED')"

mv "$msi" "$out" || fail "cannot write $out"
