#pragma once
// The publisher's public release key compiled into a program. Each program links the
// key it is built with: the setup the configured one, the test programs none or a
// key made for the tests; a library never carries one.

#include <QString>

namespace ReleaseIntegrity {

// Base64 Ed25519 public key; empty when the program verifies nothing. Deliberately
// not overridable from the environment: whoever can set the environment must not
// be able to make the setup trust another publisher.
QString CompiledPublicKey();

}  // namespace ReleaseIntegrity
