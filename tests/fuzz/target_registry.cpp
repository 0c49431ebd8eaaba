#include "fuzz_target.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace fuzz {

void fail(const char* file, int line, const char* what)
{
#ifdef VRN_LIBFUZZER
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
    std::abort();
#else
    throw std::logic_error(std::string(file) + ":" + std::to_string(line) + ": invariant broken: " + what);
#endif
}

static std::map<std::string, Target>& registry()
{
    static std::map<std::string, Target> targets;
    return targets;
}

bool registerTarget(const char* name, Target target)
{
    registry()[name] = target;
    return true;
}

const std::map<std::string, Target>& targets()
{
    return registry();
}

}  // namespace fuzz
