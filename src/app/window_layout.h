#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "update/product.h"

namespace kw {

// The controls of the update window, in the window's own order. The transfer control "Inet1"
// has no place here: it is invisible, and the window holds it as its TransferControl.
enum class ControlId : std::uint8_t {
  ErrViewFme,
  ErrViewTxt,
  ErrViewCmd,
  KwFme,
  TavSelt1Opt,
  TavSelt0Opt,
  SsFme,
  Option2,
  Option1,
  Frame1,
  PB1,
  TavExitCmd,
  TavEnterCmd,
  GetTimeLbl,
  GetFileLbl,
  Msg3Lbl,
  Msg2Lbl,
  Msg1Lbl,
  Msg0Lbl,
  TavMenuLbl,
  Label3,
};
inline constexpr std::size_t kControlCount = 21;

enum class ControlKind { kFrame, kTextBox, kCommandButton, kOptionButton, kProgressBar, kLabel };

struct Rgb {
  std::uint8_t red, green, blue;
};

// Left, top, width, height in twips (1440 to the inch), relative to the container.
struct TwipsRect {
  int left, top, width, height;
};

// The Korean font "굴림" in the given face and size; a control without one keeps the window's
// default font.
struct KoreanFont {
  bool bold;
  double points;
};

struct ControlLayout {
  ControlId id;
  std::string_view name;
  ControlKind kind;
  std::optional<ControlId> container = {};  // nullopt: the window itself
  std::string_view caption = {};            // caption or text when the window opens
  TwipsRect position = {};
  std::optional<Rgb> back_colour = {};  // nullopt: the control's own default
  std::optional<KoreanFont> font = {};
  bool centred = false;     // labels: text centred
  bool border = false;      // labels: single border
  bool graphical = false;   // command buttons: coloured, graphical style
  bool multi_line = false;  // text box: multi-line with both scroll bars
  bool visible = true;
  bool selected = false;  // option buttons
};

inline constexpr int kWindowWidthTwips = 5955;
inline constexpr int kWindowHeightTwips = 4410;
inline constexpr Rgb kWindowBackColour{0xC0, 0xC0, 0xFF};

// The caption of the route banner TavMenuLbl for an update server host.
std::string RouteBanner(std::string_view host);

// Every control, indexed by ControlId. TavMenuLbl's caption depends on the host and is empty
// here; the window fills it in.
extern const std::array<ControlLayout, kControlCount> kControlLayouts;

inline const ControlLayout& LayoutOf(ControlId id) {
  return kControlLayouts[static_cast<std::size_t>(id)];
}

}  // namespace kw
