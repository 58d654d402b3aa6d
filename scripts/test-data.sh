#!/usr/bin/env bash
# Fetches the public sample Outlook data files the tests read into build-deps/outlook-samples.
#
# They come from the npm package pst-extractor 1.12.0 (MIT licence; a TypeScript reader of
# these files, whose tests use them): enron.pst, a 64-bit personal file cut from the public
# Enron mail corpus (one mailbox's folders, 71 messages), and two offline files of a test
# account made with Outlook 365 in 2021 (the newer 4 KiB-page format: received and sent mail,
# meeting requests, attachments, a calendar). Together they are 45 MiB, too much to keep in the
# repository; the package is checked against the digest npm publishes for it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/build-deps/outlook-samples"
files=(enron.pst pstextractortest@outlook.com.ost pstextractortestpdf@outlook.com.ost)
ready=1
for f in "${files[@]}"; do [ -f "$out/$f" ] || ready=0; done
[ $ready = 1 ] && exit 0

url=https://registry.npmjs.org/pst-extractor/-/pst-extractor-1.12.0.tgz
sha512=mO87iT2FGXc3MZVQ8YVIHn8GghM3WI8Dvqn872JEYXo0Bi5EFewS6hlmdPTasfFzrAJgJgnuA8EXSYSxIrCcyQ==
mkdir -p "$out"
package="$out/pst-extractor-1.12.0.tgz"
echo "test data: fetching $url"
python3 - "$url" "$package" "$sha512" <<'EOF'
import base64, hashlib, ssl, sys, urllib.request
url, path, expected = sys.argv[1:]
try:
    data = urllib.request.urlopen(url, timeout=120).read()
except urllib.error.URLError as error:
    if not isinstance(error.reason, ssl.SSLCertVerificationError):
        raise
    # A machine behind a proxy whose certificate it does not know: the digest below, not the
    # connection, is what vouches for the package.
    print(f"test data: the server's certificate cannot be checked ({error.reason.verify_message});"
          " fetched without that check, the package's published digest vouches for it",
          file=sys.stderr)
    context = ssl._create_unverified_context()
    data = urllib.request.urlopen(url, timeout=120, context=context).read()
got = base64.b64encode(hashlib.sha512(data).digest()).decode()
if got != expected:
    sys.exit(f"{url}: its SHA-512 is {got}, not the published {expected}")
open(path, "wb").write(data)
EOF
for f in "${files[@]}"; do
  tar -xzf "$package" -C "$out" --strip-components=3 "package/example/testdata/$f"
done
rm -f "$package"
