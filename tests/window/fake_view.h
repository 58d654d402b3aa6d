// A view for tests: keeps what the window's logic last asked of each control, and the text as
// the user would read it.
#pragma once

#include <map>
#include <string>

#include "window/layout.h"
#include "window/view.h"

namespace crateline::testing {

class FakeView : public window::View {
 public:
  struct State {
    std::string text;  // as shown: "&&" read as "&", a single "&" dropped
    bool enabled = true;
    bool visible = true;
  };

  FakeView() {
    for (const auto& spec : window::Controls()) {
      controls[spec.id] = {Shown(spec.text), spec.enabled, spec.visible};
    }
  }

  window::OwnerHandle Owner() const override {
    return window::OwnerHandle{const_cast<FakeView*>(this)};
  }
  void SetText(window::Control control, const std::string& text) override {
    controls[control].text = Shown(text);
  }
  void SetEnabled(window::Control control, bool enabled) override {
    controls[control].enabled = enabled;
  }
  void SetVisible(window::Control control, bool visible) override {
    controls[control].visible = visible;
  }
  void SetProgressRange(int minimum, int maximum) override {
    rangeMinimum = minimum;
    rangeMaximum = maximum;
  }
  void SetProgress(int value) override { progress = value; }
  void SetFocus(window::Control control) override {
    const State& state = controls[control];
    if (control == window::Control::kWindow || (state.enabled && state.visible)) focus = control;
  }
  void SetBusyPointer(bool on) override { busy = on; }
  void Hide() override { hidden = true; }

  const std::string& Text(window::Control control) { return controls[control].text; }
  bool Enabled(window::Control control) { return controls[control].enabled; }
  bool Visible(window::Control control) { return controls[control].visible; }

  static std::string Shown(const std::string& mnemonic) {
    std::string shown;
    for (std::size_t i = 0; i < mnemonic.size(); ++i) {
      if (mnemonic[i] == '&' && i + 1 < mnemonic.size()) ++i;
      shown += mnemonic[i];
    }
    return shown;
  }

  std::map<window::Control, State> controls;
  window::Control focus = window::kFocusOrder.front();
  int progress = 0;
  int rangeMinimum = 0;
  int rangeMaximum = 100;
  bool busy = false;
  bool hidden = false;
};

}  // namespace crateline::testing
