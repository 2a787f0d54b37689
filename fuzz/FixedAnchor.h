#pragma once

// The trust anchor of the signed-code fuzzer and of the program that makes its seeds.

#include "TavelinPlatform/signing/DevelopmentIdentity.h"

namespace tavelin::fuzzing {

// A CA certificate made afresh with the signing library for a fixed key and subject. The
// chain check matches an issuer by name and key, so a certificate issued under one such
// anchor (as the committed seeds' leaves were) chains to every other. The key is in the
// source for all to see: nothing but fuzzing may ever trust it.
[[nodiscard]] Expected<CertifiedKey, IdentityError> makeFixedAnchor();

}  // namespace tavelin::fuzzing
