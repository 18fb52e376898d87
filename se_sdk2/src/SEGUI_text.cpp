// The pin handle's text reads, kept apart from SEGUI_base.cpp: a static
// library member is linked only when something refers to it, so a module
// that never reads a text does not carry the string library (and the
// exception support it needs) in its DLL.
#include "SEGUI_base.h"

#include <vector>

std::string GuiPinHandle::GetValueText()
{
    const auto *text =
        reinterpret_cast<const char *>(m_owner->CallHost(GUI_HOST_GET_PIN_TEXT, m_index));
    return text != nullptr ? std::string(text) : std::string();
}

std::u16string GuiPinHandle::GetValueWideText()
{
    // First call: the number of 16-bit characters, terminating zero included.
    const se_result n = m_owner->CallHost(GUI_HOST_GET_PIN_WIDE_TEXT, m_index, 0, nullptr);
    if (n <= 0)
        return std::u16string();
    std::vector<char16_t> buffer(static_cast<size_t>(n), u'\0');
    m_owner->CallHost(GUI_HOST_GET_PIN_WIDE_TEXT, m_index, static_cast<int32_t>(n), buffer.data());
    size_t length = 0;
    while (length < buffer.size() && buffer[length] != u'\0')
        ++length;
    return std::u16string(buffer.data(), length);
}
