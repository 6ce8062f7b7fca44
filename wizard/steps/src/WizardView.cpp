#include "tablewright/wizard/WizardView.h"

#include <stdexcept>

namespace tw::wizard {

PlainWizardView::PlainWizardView() {
    for (const ControlLayout& layout : FormLayout()) {
        State& state = controls[layout.ref];
        state.visible = !layout.hidden;
        state.enabled = !layout.disabled;
        state.text = layout.text;
        state.value = layout.value;
        state.rect = layout.rect;
    }
}

void PlainWizardView::SetVisible(const ControlRef& ref, bool visible) {
    At(ref).visible = visible;
}

void PlainWizardView::SetEnabled(const ControlRef& ref, bool enabled) {
    At(ref).enabled = enabled;
}

std::string PlainWizardView::Text(const ControlRef& ref) const {
    const State& state = At(ref);
    if (ref.name == Ctl::CboType)
        return state.list_index >= 0 ? state.items.at(std::size_t(state.list_index)) : "";
    return state.text;
}

void PlainWizardView::SetText(const ControlRef& ref, const std::string& text) {
    At(ref).text = text;
}

double PlainWizardView::Value(const ControlRef& ref) const {
    return At(ref).value;
}

void PlainWizardView::SetValue(const ControlRef& ref, double value) {
    At(ref).value = value;
}

void PlainWizardView::SetFocus(const ControlRef& ref) {
    At(ref);
    focus = ref;
}

void PlainWizardView::Move(const ControlRef& ref, const PixelRect& rect) {
    At(ref).rect = rect;
}

void PlainWizardView::SetHeight(const ControlRef& ref, int height) {
    At(ref).rect.height = height;
}

void PlainWizardView::AddItem(const ControlRef& ref, const std::string& text) {
    State& state = At(ref);
    state.items.push_back(text);
    state.ticks.push_back(false);
}

void PlainWizardView::Clear(const ControlRef& ref) {
    State& state = At(ref);
    state.items.clear();
    state.ticks.clear();
    state.list_index = -1;
}

int PlainWizardView::ListCount(const ControlRef& ref) const {
    return static_cast<int>(At(ref).items.size());
}

std::string PlainWizardView::List(const ControlRef& ref, int i) const {
    return At(ref).items.at(std::size_t(i));
}

bool PlainWizardView::Selected(const ControlRef& ref, int i) const {
    return At(ref).ticks.at(std::size_t(i));
}

void PlainWizardView::SetSelected(const ControlRef& ref, int i, bool selected) {
    At(ref).ticks.at(std::size_t(i)) = selected;
}

void PlainWizardView::SetListIndex(const ControlRef& ref, int i) {
    State& state = At(ref);
    if (i < -1 || i >= static_cast<int>(state.items.size()))
        throw std::out_of_range("list index");
    state.list_index = i;
}

void PlainWizardView::PaintWelcome() {
    welcome_painted = true;
    At({Ctl::PicWelcome}).rect.height = 313;
    const State first = At({Ctl::OptScenario, 0});
    for (int i = 1; i <= 2; ++i)
        controls[{Ctl::OptScenario, i}] = first;
    At({Ctl::OptScenario, 0}).value = 1;
}

void PlainWizardView::PaintHeader(std::int16_t step) {
    headers.push_back(step);
    At({Ctl::PicHeader}).rect.height = 60;
}

void PlainWizardView::Close() {
    ++close_requests;
    if (on_close)
        on_close();
}

} // namespace tw::wizard
