#pragma once

#include "tablewright/wizard/FormLayout.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tw::wizard {

/// The wizard window's controls as the step logic sees them: plain properties read and written
/// by control name, so that the logic runs with plain values as well as with real widgets.
class WizardView {
public:
    virtual ~WizardView() = default;

    /// Shows or hides the control.
    virtual void SetVisible(const ControlRef& ref, bool visible) = 0;
    /// Enables or disables the control (a container with everything inside it).
    virtual void SetEnabled(const ControlRef& ref, bool enabled) = 0;
    /// Caption or text of the control; the selected entry's text for a drop-down list.
    virtual std::string Text(const ControlRef& ref) const = 0;
    /// Sets the caption or text of the control.
    virtual void SetText(const ControlRef& ref, const std::string& text) = 0;
    /// The value of a check box (0 unticked, 1 ticked) or of a progress bar.
    virtual double Value(const ControlRef& ref) const = 0;
    /// Sets the value of a check box or a progress bar.
    virtual void SetValue(const ControlRef& ref, double value) = 0;
    /// Moves the keyboard focus into the control.
    virtual void SetFocus(const ControlRef& ref) = 0;
    /// Places the control inside its parent.
    virtual void Move(const ControlRef& ref, const PixelRect& rect) = 0;
    /// Changes the control's height only.
    virtual void SetHeight(const ControlRef& ref, int height) = 0;

    /// Adds an entry (unticked) at the end of a list.
    virtual void AddItem(const ControlRef& ref, const std::string& text) = 0;
    /// Removes every entry of a list.
    virtual void Clear(const ControlRef& ref) = 0;
    /// Number of entries of a list.
    virtual int ListCount(const ControlRef& ref) const = 0;
    /// Text of entry i of a list.
    virtual std::string List(const ControlRef& ref, int i) const = 0;
    /// Whether entry i of a checked list is ticked.
    virtual bool Selected(const ControlRef& ref, int i) const = 0;
    /// Ticks or unticks entry i of a checked list.
    virtual void SetSelected(const ControlRef& ref, int i, bool selected) = 0;
    /// Selects entry i of a drop-down list (without raising its click).
    virtual void SetListIndex(const ControlRef& ref, int i) = 0;

    /// Paints the window's title rule onto its background.
    virtual void PaintForm() = 0;
    /// Paints the welcome page and adds the scenario options 1 and 2.
    virtual void PaintWelcome() = 0;
    /// Paints the header band of a step (0 to 4).
    virtual void PaintHeader(std::int16_t step) = 0;
    /// Asks the window to close; the close goes through the logic's Form_Unload.
    virtual void Close() = 0;
};

/// A WizardView of plain values, starting from the window's layout, for tests.
class PlainWizardView : public WizardView {
public:
    /// One control's properties.
    struct State {
        bool visible = true;
        bool enabled = true;
        std::string text;
        double value = 0;
        PixelRect rect;
        std::vector<std::string> items;
        std::vector<bool> ticks;
        int list_index = -1;
    };

    /// Every control of the layout with its initial properties.
    PlainWizardView();

    std::map<ControlRef, State> controls;
    /// The control that last received the focus.
    std::optional<ControlRef> focus;
    /// Steps whose header was painted, in order.
    std::vector<std::int16_t> headers;
    bool form_painted = false;
    bool welcome_painted = false;
    /// Number of Close requests.
    int close_requests = 0;
    /// Called on every Close request (tests route it to Form_Unload).
    std::function<void()> on_close;

    /// The state of a control; throws std::out_of_range for a control the window lacks.
    State& At(const ControlRef& ref) { return controls.at(ref); }
    /// The state of a control; throws std::out_of_range for a control the window lacks.
    const State& At(const ControlRef& ref) const { return controls.at(ref); }

    void SetVisible(const ControlRef& ref, bool visible) override;
    void SetEnabled(const ControlRef& ref, bool enabled) override;
    std::string Text(const ControlRef& ref) const override;
    void SetText(const ControlRef& ref, const std::string& text) override;
    double Value(const ControlRef& ref) const override;
    void SetValue(const ControlRef& ref, double value) override;
    void SetFocus(const ControlRef& ref) override;
    void Move(const ControlRef& ref, const PixelRect& rect) override;
    void SetHeight(const ControlRef& ref, int height) override;
    void AddItem(const ControlRef& ref, const std::string& text) override;
    void Clear(const ControlRef& ref) override;
    int ListCount(const ControlRef& ref) const override;
    std::string List(const ControlRef& ref, int i) const override;
    bool Selected(const ControlRef& ref, int i) const override;
    void SetSelected(const ControlRef& ref, int i, bool selected) override;
    void SetListIndex(const ControlRef& ref, int i) override;
    void PaintForm() override { form_painted = true; }
    void PaintWelcome() override;
    void PaintHeader(std::int16_t step) override;
    void Close() override;
};

} // namespace tw::wizard
