#!/usr/bin/env bash
# The release (release.sh), as ctest tests (label release), after build/windows is built:
#   checks.sh reproducible   the product built again from a copy of the tree, in another folder,
#                            later, in another time zone and by another user, gives the same
#                            skelvane.exe and the same zip
#   checks.sh signed         a signed package verifies and gives back the same bytes without its
#                            signature, and the signed program says what the unsigned one says
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
# shellcheck source=run.sh
source "$ROOT/run.sh"
set +e
LAUNCHER="$ROOT/tests/support/windows/run_under_wine.sh"
SIGNING="$ROOT/build/signing"
RELEASE_DIR="$WINDOWS_BUILD/release"
# The program under Wine: the product where 32-bit code runs, else the x86_64 build of the same
# code (build/win64, which test.sh builds there).
WINE_PROGRAM="$WINDOWS_BUILD/skelvane.exe"
can_run_32bit || WINE_PROGRAM="$WINDOWS64_BUILD/skelvane.exe"

release_version() {
    sed -n 's/^project(skelvane VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt"
}

release_zip_name() {
    echo "skelvane-$(release_version)-win32.zip"
}

# The zip holds the program as built and a readme that Notepad shows: CRLF, under 80 columns.
check_package_contents() {
    local zip="$1" readme="$REBUILD/README.txt" listing
    listing="$(unzip -Z1 "$zip" | sort | tr '\n' ' ')"
    [ "$listing" = "README.txt skelvane.exe " ] || { echo "$zip holds: $listing"; return 1; }
    unzip -p "$zip" skelvane.exe | cmp - "$WINDOWS_BUILD/skelvane.exe" || return 1
    unzip -p "$zip" README.txt >"$readme" || return 1
    grep -q "^Skelvane $(release_version), " "$readme" || { echo "README.txt: no version"; return 1; }
    if [ "$(grep -c -v $'\r$' "$readme")" -ne 0 ] ||
        [ "$(tail -c 2 "$readme" | od -An -tx1)" != " 0d 0a" ]; then
        echo "README.txt: lines without CRLF"; return 1
    fi
    if LC_ALL=C grep -n $'[^ -~\r]' "$readme" ||
        ! awk '{ sub(/\r$/, "") } length > 79 { print FNR ": " length " columns"; bad = 1 }
             END { exit bad }' "$readme"; then
        echo "README.txt: the lines above are not plain text under 80 columns"; return 1
    fi
}

# Runs a command as another user (nobody) where this one is root.
as_other_user() {
    if [ "$(id -u)" -eq 0 ]; then
        setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$REBUILD" "$@"
    else
        "$@"
    fi
}

check_reproducible() {
    local zip epoch copy
    zip="$(release_zip_name)"
    epoch="$(git -C "$ROOT" log -1 --format=%ct)" || return 1
    REBUILD="$(mktemp -d "${TMPDIR:-/tmp}/skelvane-rebuild.XXXXXX")" && chmod 755 "$REBUILD" ||
        return 1
    copy="$REBUILD/source/build/windows"
    # The tree as it stands (changes not yet committed too), without its builds.
    tar -C "$ROOT" --exclude=./build --exclude=./.git -cf - . |
        (mkdir "$REBUILD/source" && tar -C "$REBUILD/source" -xf -) || return 1
    [ "$(id -u)" -ne 0 ] || chown -R nobody:nogroup "$REBUILD" || return 1
    # Here the commit's time comes from git, there from outside.
    env -u SKELVANE_SIGN_PKCS12 -u SKELVANE_SIGN_KEY -u SOURCE_DATE_EPOCH "$ROOT/release.sh" \
        >/dev/null || return 1
    as_other_user env -u SKELVANE_SIGN_PKCS12 -u SKELVANE_SIGN_KEY TZ=Pacific/Auckland \
        SOURCE_DATE_EPOCH="$epoch" "$REBUILD/source/release.sh" >/dev/null || return 1
    sha256sum "$WINDOWS_BUILD/skelvane.exe" "$copy/skelvane.exe" "$RELEASE_DIR/$zip" \
        "$copy/release/$zip"
    if cmp "$WINDOWS_BUILD/skelvane.exe" "$copy/skelvane.exe" &&
        cmp "$RELEASE_DIR/$zip" "$copy/release/$zip" &&
        (cd "$RELEASE_DIR" && sha256sum --strict -c SHA256SUMS) &&
        grep -q "SOURCE_DATE_EPOCH=$epoch" "$RELEASE_DIR/BUILDINFO" &&
        check_package_contents "$RELEASE_DIR/$zip"; then
        rm -rf "$REBUILD"
    else
        echo "the second build stays in $REBUILD"
        return 1
    fi
}

# Throwaway certificates: one for code signing (PEM, and PKCS#12 with a password file, and on a
# SoftHSM token), one for the loopback time-stamp authority.
make_signing_keys() {
    cat >"$SIGNING/openssl.cnf" <<CONFIG
[req]
distinguished_name = name
prompt = no
[name]
CN = Skelvane throwaway signer
[codesign]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
[timestamping]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
[tsa]
default_tsa = throwaway
[throwaway]
serial = $SIGNING/tsa-serial
signer_cert = $SIGNING/tsa.pem
signer_key = $SIGNING/tsa.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.99999.1
digests = sha1, sha256
CONFIG
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -config "$SIGNING/openssl.cnf" \
        -extensions codesign -keyout "$SIGNING/signer.key" -out "$SIGNING/signer.pem" \
        2>/dev/null &&
        openssl req -x509 -newkey rsa:2048 -nodes -days 2 -config "$SIGNING/openssl.cnf" \
            -extensions timestamping -subj "/CN=Skelvane throwaway time-stamp authority" \
            -keyout "$SIGNING/tsa.key" -out "$SIGNING/tsa.pem" 2>/dev/null || return 1
    echo 01 >"$SIGNING/tsa-serial"
    echo throwaway >"$SIGNING/password"
    openssl pkcs12 -export -inkey "$SIGNING/signer.key" -in "$SIGNING/signer.pem" \
        -passout file:"$SIGNING/password" -out "$SIGNING/signer.p12" || return 1
    # The token's PIN is the same password file.
    printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$SIGNING/tokens" \
        >"$SIGNING/softhsm2.conf" && mkdir -p "$SIGNING/tokens" &&
        openssl pkcs8 -topk8 -nocrypt -in "$SIGNING/signer.key" -out "$SIGNING/signer.p8" &&
        SOFTHSM2_CONF="$SIGNING/softhsm2.conf" softhsm2-util --init-token --free \
            --label skelvane --pin throwaway --so-pin throwaway >/dev/null &&
        SOFTHSM2_CONF="$SIGNING/softhsm2.conf" softhsm2-util --import "$SIGNING/signer.p8" \
            --token skelvane --label signer --id 01 --pin throwaway >/dev/null
}

# A signed copy: verifies against the throwaway certificates with a SHA-1 signature and a nested
# SHA-256 one, each with the product's name, the support URL and a time stamp, and gives back
# the built bytes without its signature.
check_signed_copy() {
    local program="$1" verified url
    url="$(head -n 1 "$ROOT/vendor/support_article_url.txt")"
    verified="$(osslsigncode verify -CAfile "$SIGNING/signer.pem" -TSA-CAfile "$SIGNING/tsa.pem" \
        -in "$program" 2>&1)"
    local status=$?
    echo "$verified" >"$program.verify"
    [ $status -eq 0 ] || { echo "$verified"; echo "$program: verification failed"; return 1; }
    # The first signature's algorithm, then the nested one's.
    if [ "$(echo "$verified" | sed -n -E 's/^Message digest algorithm +: ([A-Z0-9]+).*/\1/p' |
            tr '\n' ' ')" != "SHA1 SHA256 " ] ||
        [ "$(echo "$verified" | grep -c "Text description: Skelvane$")" -ne 2 ] ||
        [ "$(echo "$verified" | grep -c "URL description: $url$")" -ne 2 ] ||
        [ "$(echo "$verified" | grep -c "^Timestamp Server Signature verification: ok")" -ne 2 ]; then
        echo "$verified"; echo "$program: not the two signatures expected"; return 1
    fi
    osslsigncode remove-signature -in "$program" -out "$program.unsigned" >/dev/null &&
        cmp "$program.unsigned" "$WINDOWS_BUILD/skelvane.exe"
}

# The console text of a run, without the times in it: in a fresh 64-bit prefix (the tool's usual
# home) with only a loopback network, so both runs meet the same machine; each copy runs from its
# own folder, where its log lands.
console_text() {
    SKELVANE_WINE_KIND=win64 bash "$LAUNCHER" test "$1" 2>&1 >/dev/null |
        sed -E 's/[0-9]{4}\.[0-9]{2}\.[0-9]{2} [0-9]{2}:[0-9]{2}\.[0-9]{2}/<time>/g'
}

# The package made with the key in a PKCS#12 file, in a folder of its own; the arguments are the
# environment's other signing variables.
sign_package() {
    env "$@" SKELVANE_SIGN_PKCS12="$SIGNING/signer.p12" \
        cpack --config "$WINDOWS_BUILD/CPackConfig.cmake" -B "$SIGNING/package" >/dev/null &&
        unzip -q -d "$SIGNING/signed" "$SIGNING/package/$(release_zip_name)" skelvane.exe &&
        grep -q "^In the zip: *signed" "$SIGNING/package/BUILDINFO" &&
        check_signed_copy "$SIGNING/signed/skelvane.exe"
}

# The key on a PKCS#11 token, with the signing script alone.
sign_with_token() {
    cp "$WINDOWS_BUILD/skelvane.exe" "$SIGNING/token/skelvane.exe" &&
        env "$@" SOFTHSM2_CONF="$SIGNING/softhsm2.conf" \
            SKELVANE_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so \
            SKELVANE_SIGN_KEY="pkcs11:token=skelvane;object=signer;type=private" \
            SKELVANE_SIGN_CERTS="$SIGNING/signer.pem" \
            cmake -DFILE="$SIGNING/token/skelvane.exe" -P "$ROOT/cmake/sign.cmake" >/dev/null &&
        check_signed_copy "$SIGNING/token/skelvane.exe"
}

# Signed or not, the program runs under Wine and says the same. Where 32-bit code cannot run,
# the x86_64 build, signed the same way, plays the part.
compare_signed_run() {
    local signed="$SIGNING/signed/skelvane.exe"
    cp "$WINE_PROGRAM" "$SIGNING/unsigned/skelvane.exe" || return 1
    if [ "$WINE_PROGRAM" != "$WINDOWS_BUILD/skelvane.exe" ]; then
        signed="$SIGNING/wine/skelvane.exe"
        mkdir -p "$SIGNING/wine" && cp "$WINE_PROGRAM" "$signed" &&
            SKELVANE_SIGN_PKCS12="$SIGNING/signer.p12" \
            SKELVANE_SIGN_PASSWORD_FILE="$SIGNING/password" \
            cmake -DFILE="$signed" -P "$ROOT/cmake/sign.cmake" >/dev/null || return 1
    fi
    # One after the other: two runs at once would contend for the files they open.
    console_text "$SIGNING/unsigned/skelvane.exe" >"$SIGNING/unsigned.txt" &&
        console_text "$signed" >"$SIGNING/signed.txt" &&
        grep -q "^FileVersion of this tool: " "$SIGNING/unsigned.txt" &&
        diff "$SIGNING/unsigned.txt" "$SIGNING/signed.txt" &&
        echo "the signed and the unsigned skelvane.exe print the same under Wine"
}

check_signing() {
    local server status=0
    rm -rf "$SIGNING" && mkdir -p "$SIGNING/package" "$SIGNING/signed" "$SIGNING/token" \
        "$SIGNING/unsigned" && make_signing_keys || return 1
    python3 "$ROOT/tests/release/timestamp_server.py" "$SIGNING/openssl.cnf" "$SIGNING/port" &
    server=$!
    for _ in $(seq 50); do [ -s "$SIGNING/port" ] && break; sleep 0.1; done
    local key=(SKELVANE_SIGN_TIMESTAMP_URL="http://127.0.0.1:$(cat "$SIGNING/port")/"
               SKELVANE_SIGN_PASSWORD_FILE="$SIGNING/password")
    sign_package "${key[@]}" || status=1
    sign_with_token "${key[@]}" || status=1
    kill "$server"
    wait "$server" 2>/dev/null
    [ $status -eq 0 ] || return 1
    grep -E '^(Signature Index|Message digest algorithm +:|Number of)|description|Timestamp time' \
        "$SIGNING/signed/skelvane.exe.verify"
    compare_signed_run
}

case "${1:-}" in
    reproducible) check_reproducible ;;
    signed) check_signing ;;
    *) echo "usage: checks.sh reproducible | signed" >&2; exit 2 ;;
esac
