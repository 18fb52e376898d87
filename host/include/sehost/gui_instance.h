// gui_instance.h - one GUI-side object with the host's pin value store.
#ifndef SEHOST_GUI_INSTANCE_H
#define SEHOST_GUI_INSTANCE_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "se_plugin.h"
#include "sehost/host_config.h"
#include "sehost/library.h"
#include "sehost/pin_decl.h"

namespace sehost {

// A pin value as the GUI side sees it.  Float pins (DT_FLOAT32, DT_FSAMPLE)
// keep a float, all others an integer; a text written with
// GUI_HOST_SET_PIN_TEXT is kept as text and read back as number too.
struct GuiValue {
    enum class Kind { Int, Float, Text };
    Kind kind = Kind::Int;
    int32_t i = 0;
    float f = 0.0f;
    std::string text;
    double number() const { return kind == Kind::Int ? double(i) : double(f); }
};

// One write of the module (GUI_HOST_SET_PIN_VALUE or _SET_PIN_TEXT).
struct GuiWrite {
    int pin;
    GuiValue::Kind kind; // Int: SET_PIN_VALUE of an integer pin, Float: of a float pin, Text
    int32_t i;
    float f;
    std::string text;
};

struct GuiRequest {
    int32_t op, index, value;
    float opt;
};

// The GUI side of one module instance; pins by declaration number.
//
//   auto gui = sehost::GuiInstance::make(lib, dsp.pins());   // null: no GUI side
//   gui->set_pin(3, 1);        // before initialise: stored (patch) value
//   gui->initialise();         // GUI_OP_INITIALISE, index 1
//   gui->set_pin(2, 1.0);      // store + GUI_OP_PIN_VALUE_CHANGED
//   EXPECT_EQ(gui->writes().size(), 2u);
class GuiInstance
{
public:
    // makeModule(0, SE_MAKE_GUI, callback, this).  A null answer gives a
    // null pointer (the module has no GUI side); a bad record throws.
    static std::unique_ptr<GuiInstance> make(std::shared_ptr<const Library> library,
                                             std::vector<PinDecl> pins, HostConfig config = {});
    ~GuiInstance(); // closes if alive (errors swallowed)
    GuiInstance(const GuiInstance &) = delete;
    GuiInstance &operator=(const GuiInstance &) = delete;

    GuiPlugRecord *record() const { return m_record; }
    const std::vector<PinDecl> &pins() const { return m_pins; }
    int pin_number(const std::string &name) const; // HostError if unknown

    void initialise(int32_t index = 1); // GUI_OP_INITIALISE
    bool initialised() const { return m_initialised; }
    void close(); // GUI_OP_CLOSE, must answer 1
    se_result dispatch(int32_t op, int32_t index = 0, int32_t value = 0, void *ptr = nullptr,
                       float opt = 0.0f);

    // A change from outside (panel, patch, wiring): stored; after
    // initialise also GUI_OP_PIN_VALUE_CHANGED.  Before initialise it is the
    // stored patch value the module finds there.
    void set_pin(int pin, double value);
    void set_pin_text(int pin, const std::string &text);
    const GuiValue &value(int pin) const;
    int32_t int_value(int pin) const;
    float float_value(int pin) const;

    const std::vector<GuiWrite> &writes() const { return m_writes; }
    void clear_writes() { m_writes.clear(); }
    // Every request of the module since it was made (or since the last
    // clear_requests): tests and reports read them; a long-running host that
    // does not clears them now and then.
    const std::vector<GuiRequest> &requests() const { return m_requests; }
    void clear_requests() { m_requests.clear(); }

    bool idle_requested() const { return m_idle; }
    bool idle(); // GUI_OP_IDLE, must answer 0 or 1
    // Calls idle while requested, at most max_calls times; answers the calls made.
    int run_idle(int max_calls = 100);
    void dsp_message(int32_t value, int32_t index = 0, void *ptr = nullptr);

    const std::vector<std::string> &errors() const { return m_errors; }

    // Every module write, after storing and before the optional echo.
    std::function<void(int pin, const GuiValue &)> on_write;

    se_result host_request(int32_t op, int32_t index, int32_t value, void *ptr, float opt);

private:
    GuiInstance(std::shared_ptr<const Library> library, std::vector<PinDecl> pins,
                HostConfig config);
    struct Impl;
    std::unique_ptr<Impl> m;
    std::shared_ptr<const Library> m_library;
    HostConfig m_config;
    GuiPlugRecord *m_record = nullptr;
    std::vector<PinDecl> m_pins;
    std::vector<GuiValue> m_values;
    std::vector<GuiWrite> m_writes;
    std::vector<GuiRequest> m_requests;
    std::vector<std::string> m_errors;
    bool m_initialised = false;
    bool m_idle = false;
};

} // namespace sehost

#endif
