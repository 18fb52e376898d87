// close_call.h - the last call into a module object.
#ifndef SEHOST_CLOSE_CALL_H
#define SEHOST_CLOSE_CALL_H

#include <string>

#include "se_plugin.h"
#include "sehost/host_error.h"

namespace sehost {

// Makes the close call, then forgets the object whatever the call did (the
// module has freed it): a fault found in the call, or an answer other than 1,
// is thrown once the object is forgotten.
template <class Call, class Forget>
void close_and_forget(const std::string &path, const char *op, Call call, Forget forget)
{
    se_result answer = 0;
    std::string failure;
    try {
        answer = call();
    } catch (const HostError &e) {
        failure = e.what();
    } catch (...) {
        forget();
        throw;
    }
    forget();
    if (!failure.empty())
        throw HostError(failure);
    if (answer != 1)
        throw HostError(path + ": " + op + " answered " + std::to_string(answer) + ", expected 1");
}

} // namespace sehost

#endif
