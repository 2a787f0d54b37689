#!/usr/bin/env bash
# Fails when an executable holds code the root monitor must not carry: making signatures
# (keys, certificates, signature blocks), measuring a tree without removing it, or any
# parser of what clients send (frames, JSON, signature blocks, certificates, requirement
# texts): those run in the unprivileged front only. What only tests, tools and
# benchmarks use stays out of the root binary.
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
    # parsers of client bytes
    'nlohmann::' 'tavelin::FrameReader' 'tavelin::decodeCall' 'PrivilegedOperation::decode'
    'PrivilegedResult::decode' 'tavelin::readSignedCode' 'tavelin::checkCode'
    'Requirement::parse' 'd2i_' 'PEM_read' 'CMS_verify' 'X509_verify_cert'
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
