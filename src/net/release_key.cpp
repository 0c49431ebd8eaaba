#include "net/release_key.h"

// defines VRN_RELEASE_PUBLIC_KEY_VALUE; each key's build has its own copy of this header
#include "release_key_value.h"

namespace ReleaseIntegrity {

QString CompiledPublicKey()
{
    return QStringLiteral(VRN_RELEASE_PUBLIC_KEY_VALUE).trimmed();
}

}  // namespace ReleaseIntegrity
