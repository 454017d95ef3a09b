#include "model/DuplicateLocalInstance.h"

size_t qHash(const DuplicateLocalInstance &instance, size_t seed) noexcept
{
    return qHashMulti(seed, instance.localApp.id(), instance.offloadedPrimary.id());
}
