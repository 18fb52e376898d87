// validate.cpp - `sehost validate`: the validator, under wine for Windows
// DLLs.
#include "commands/validate.h"

#include <iostream>

#include "commands/windows_dll.h"
#include "common/errors.h"
#include "patch/plugin_find.h"
#include "sevalidate/validate.h"

namespace secli {

// sehost validate PLUGIN... [validator options]: the validator's own command
// line, with bare plug-in names looked up like every other command's.  The
// validator re-runs this executable as `sehost validate --single-check ...`
// for each check.
int run_validate(const std::vector<std::string> &given)
{
    static const char *const kTakesValue[] = {
        "--seed",        "--include", "--exclude", "--json", "--timeout", "--single-check",
        "--result-file", "--traits",  "--level",   "-j",     "--jobs"};
    std::vector<std::string> args, for_wine;
    size_t plugins = 0, dlls = 0;
    std::string value_of;
    for (std::string a : given) {
        std::string wine_form = a;
        if (!value_of.empty()) {
            if (value_of == "--json" || value_of == "--result-file" || value_of == "--traits")
                wine_form = wine_path(a);
            value_of.clear();
        } else if (!a.empty() && a[0] == '-') {
            for (const char *opt : kTakesValue)
                if (a == opt)
                    value_of = a;
        } else {
            a = find_plugin(a, "validate");
            ++plugins;
            if (is_windows_dll(a))
                ++dlls;
            wine_form = wine_path(a);
        }
        args.push_back(a);
        for_wine.push_back(wine_form);
    }
    if (dlls > 0 && dlls < plugins)
        throw InputError("validate: Windows DLLs and Linux plug-ins go to separate runs");
    if (dlls > 0)
        return validate_under_wine(for_wine);
    return sevalidate::run_validation(args, std::cout, std::cerr, {"validate"});
}

} // namespace secli
