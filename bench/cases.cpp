// cases.cpp - see cases.h.  Inputs that are not varied hold a value that
// keeps the module busy: edge_detect at full level, the counter active and
// counting, cv_to_rpn's gate open where messages are measured.
#include "cases.h"

namespace se_bench {

std::vector<ModuleCase> module_cases()
{
    std::vector<ModuleCase> cases;

    const char *detect[] = {"ZeroX", "LeadX"};
    const char *pulse[] = {"+Ve", "+Ve/-Ve", "Sqr", "Sqr+0", "Sqr2"};
    for (int d = 0; d < 2; ++d)
        for (int p = 0; p < 5; ++p)
            cases.push_back(
                {std::string("edge_detect ") + detect[d] + " " + pulse[p],
                 "edge_detect",
                 {{"Detect Mode", double(d)}, {"Pulse Mode", double(p)}, {"Pulse Level", 1.0}},
                 {{"Audio In", {1.0f, 0.0f}}, {"Pulse Level", {0.5f, 1.0f}}}});

    const char *modes[] = {"Forward", "Back",      "Fwd+Back", "Back+Fwd",
                           "Random",  "Fwd+Back2", "Back+Fwd2"};
    for (int m : {0, 2, 4, 5})
        cases.push_back({std::string("pulse_counter ") + modes[m],
                         "pulse_counter",
                         {{"Active", 1},
                          {"Mode", double(m)},
                          {"Start", 1},
                          {"End", 8},
                          {"Random Seed (ratio)", 1.0},
                          {"Humanise (ms)", 0.0},
                          {"Shift/Delay (ms) +ve only", 0.0}},
                         {{"Pulse/Osc In", {1.0f, 0.0f}},
                          {"Random Seed (ratio)", {0.5f, 1.0f}},
                          {"Humanise (ms)", {0.5f, 0.5f}},
                          {"Shift/Delay (ms) +ve only", {0.5f, 0.5f}}}});

    // Gate off: the module follows its inputs and sends nothing.
    cases.push_back({"cv_to_rpn gate off",
                     "cv_to_rpn",
                     {{"Gate", 0.0}, {"Value CV", 0.5}, {"Parameter# CV", 0.5}},
                     {{"Value CV", {0.5f, 0.5f}}, {"Parameter# CV", {0.5f, 0.5f}}}});
    // Gate open, list mode at 7 and 14 bits: value updates as the CV moves.
    for (int depth : {0, 7})
        cases.push_back({std::string("cv_to_rpn list ") + (depth ? "14" : "7") + " bit",
                         "cv_to_rpn",
                         {{"Gate", 1.0}, {"Bit Depth", double(depth)}, {"Value CV", 0.5}},
                         {{"Value CV", {0.5f, 0.5f}}, {"Gate", {1.0f, 0.0f}}}});
    // CV mode: a moving parameter CV sends a complete message per change.
    cases.push_back({"cv_to_rpn CV mode",
                     "cv_to_rpn",
                     {{"Gate", 1.0},
                      {"Parameter# Select Mode", 1},
                      {"Bit Depth", 7},
                      {"Value CV", 0.5},
                      {"Parameter# CV", 0.5}},
                     {{"Parameter# CV", {0.5f, 0.5f}}, {"Value CV", {0.5f, 0.5f}}}});

    // The floor under the rows above: sends of 2 and 4 messages a sample
    // with no decision (a plug-in of the bench, not of the pack).
    for (int n : {2, 4})
        cases.push_back({"send floor " + std::to_string(n) + " a sample",
                         "send_floor",
                         {{"Messages", double(n - 1)}},
                         {{"In", {0.5f, 0.5f}}}});

    // Modules whose process path fills a constant.
    cases.push_back({"pitch_adjust fill", "pitch_adjust", {{"Octave", 3}}, {}});
    cases.push_back({"bool_volts fill", "bool_volts", {{"Bool (PatchMem)", 1}}, {}});
    cases.push_back({"patch_pulse fill", "patch_pulse", {}, {}});
    return cases;
}

} // namespace se_bench
