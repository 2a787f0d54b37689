#!/usr/bin/env bash
# Fails when an executable holds code the daemon must not carry: making signatures (keys,
# certificates, signature blocks) or measuring a tree without removing it. The daemon
# only verifies signatures and removes trees; what only tests, tools and benchmarks use
# stays out of the root binary.
#   tools/check-daemon-symbols.sh BINARY
set -euo pipefail
binary="$1"

forbidden=(
    # signing
    'tavelin::signFile' 'tavelin::makeSignatureBlock' 'tavelin::loadSigningIdentity'
    'tavelin::writeSignatureBlock' 'tavelin::encodeSignatureTrailer' 'tavelin::encodeSignedRecord'
    'tavelin::writePrivateKeyPem' 'tavelin::writeCertificatePem' 'tavelin::privateKeyPem'
    'tavelin::certificatePem' 'tavelin::createAnchor' 'tavelin::issueCertificate'
    'tavelin::writeDevelopmentIdentity' 'tavelin::writeWholeFile' 'tavelin::writeAllAt'
    'CMS_sign' 'CMS_add1_signer' 'X509_sign' 'EVP_PKEY_keygen' 'PEM_write_bio_PrivateKey'
    # measuring without removing
    'tavelin::measureEntry' 'tavelin::WalkMode' 'tavelin::sizeOf' 'ClientFileSystem::measure('
    'ClientFileSystem::remove('
)

symbols="$(nm -C "$binary")"
if [ -z "$symbols" ]; then
    echo "$binary: no symbols to check" >&2
    exit 1
fi
found=0
for name in "${forbidden[@]}"; do
    if grep -F -- "$name" <<<"$symbols" >/dev/null; then
        echo "$binary holds $name" >&2
        found=1
    fi
done
exit "$found"
