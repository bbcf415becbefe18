#include "app/window_layout.h"

#include <string>

namespace kw {

std::string RouteBanner(std::string_view host) {
  return "[[ " + std::string(host) + " --> C:\\TavKorea ]]";
}

namespace {

using enum ControlId;
using enum ControlKind;

constexpr KoreanFont kBold975{true, 9.75};
constexpr KoreanFont kRegular975{false, 9.75};
constexpr KoreanFont kBold12{true, 12};
constexpr KoreanFont kRegular12{false, 12};
constexpr KoreanFont kBold1425{true, 14.25};

}  // namespace

// clang-format off
const std::array<ControlLayout, kControlCount> kControlLayouts = {{
  {.id = ErrViewFme, .name = "ErrViewFme", .kind = kFrame, .container = {}, .caption = "Frame2",
   .position = {3270, 840, 2445, 2625}, .back_colour = Rgb{0xFF, 0x80, 0x80}, .visible = false},
  {.id = ErrViewTxt, .name = "ErrViewTxt", .kind = kTextBox, .container = ErrViewFme, .caption = "",
   .position = {30, 30, 2385, 2565}, .font = kBold975, .multi_line = true},
  {.id = ErrViewCmd, .name = "ErrViewCmd", .kind = kCommandButton, .container = {}, .caption = "오류",
   .position = {4080, 3690, 525, 405}, .back_colour = Rgb{0xC0, 0xC0, 0xFF}, .graphical = true},
  {.id = KwFme, .name = "KwFme", .kind = kFrame, .container = {}, .caption = "",
   .position = {1380, 300, 4335, 435}, .back_colour = Rgb{0xE0, 0xE0, 0xE0}},
  {.id = TavSelt1Opt, .name = "TavSelt1Opt", .kind = kOptionButton, .container = KwFme,
   .caption = "전체 업데이트", .position = {2520, 60, 1755, 315},
   .back_colour = Rgb{0xFF, 0xE0, 0xC0}, .font = kBold975},
  {.id = TavSelt0Opt, .name = "TavSelt0Opt", .kind = kOptionButton, .container = KwFme,
   .caption = "실행화일(KWx.exe)", .position = {60, 60, 2385, 315},
   .back_colour = Rgb{0xFF, 0xC0, 0xFF}, .font = kBold975, .selected = true},
  {.id = SsFme, .name = "SsFme", .kind = kFrame, .container = {}, .caption = "Frame2",
   .position = {1260, 3690, 1755, 375}, .back_colour = Rgb{0xE0, 0xE0, 0xE0}, .visible = false},
  {.id = Option2, .name = "Option2", .kind = kOptionButton, .container = SsFme, .caption = "Get",
   .position = {60, 60, 795, 255}, .back_colour = Rgb{0xC0, 0xC0, 0xC0}, .selected = true},
  {.id = Option1, .name = "Option1", .kind = kOptionButton, .container = SsFme, .caption = "Recv",
   .position = {900, 60, 795, 255}, .back_colour = Rgb{0xC0, 0xC0, 0xC0}},
  {.id = Frame1, .name = "Frame1", .kind = kFrame, .container = {}, .caption = "Frame1",
   .position = {240, 1260, 5475, 435}, .back_colour = Rgb{0x80, 0x80, 0xFF}},
  {.id = PB1, .name = "PB1", .kind = kProgressBar, .container = Frame1, .caption = "",
   .position = {60, 60, 5325, 315}},
  {.id = TavExitCmd, .name = "TavExitCmd", .kind = kCommandButton, .container = {}, .caption = "종료",
   .position = {4830, 3540, 885, 645}, .back_colour = Rgb{0xC0, 0xC0, 0xC0}, .font = kBold12,
   .graphical = true},
  {.id = TavEnterCmd, .name = "TavEnterCmd", .kind = kCommandButton, .container = {}, .caption = "확인",
   .position = {240, 3540, 885, 645}, .back_colour = Rgb{0xFF, 0xC0, 0xC0}, .font = kBold12,
   .graphical = true},
  {.id = GetTimeLbl, .name = "GetTimeLbl", .kind = kLabel, .container = {}, .caption = "",
   .position = {240, 1770, 2715, 195}, .back_colour = Rgb{0xC0, 0xFF, 0xFF}, .centred = true},
  {.id = GetFileLbl, .name = "GetFileLbl", .kind = kLabel, .container = {}, .caption = "",
   .position = {3000, 1770, 2715, 195}, .back_colour = Rgb{0xC0, 0xFF, 0xFF}, .centred = true},
  {.id = Msg3Lbl, .name = "Msg3Lbl", .kind = kLabel, .container = {}, .caption = "",
   .position = {240, 3090, 5475, 285}, .back_colour = Rgb{0xFF, 0xFF, 0xFF}, .font = kRegular975,
   .centred = true},
  {.id = Msg2Lbl, .name = "Msg2Lbl", .kind = kLabel, .container = {}, .caption = "",
   .position = {240, 2760, 5475, 285}, .back_colour = Rgb{0xE0, 0xE0, 0xE0}, .font = kRegular975,
   .centred = true},
  {.id = Msg1Lbl, .name = "Msg1Lbl", .kind = kLabel, .container = {}, .caption = "",
   .position = {240, 2430, 5475, 285}, .back_colour = Rgb{0xE0, 0xE0, 0xE0}, .font = kRegular975,
   .centred = true},
  {.id = Msg0Lbl, .name = "Msg0Lbl", .kind = kLabel, .container = {}, .caption = "",
   .position = {240, 2070, 5475, 315}, .back_colour = Rgb{0xC0, 0xFF, 0xC0}, .font = kBold12,
   .centred = true},
  {.id = TavMenuLbl, .name = "TavMenuLbl", .kind = kLabel, .container = {}, .caption = "",
   .position = {240, 840, 5475, 315}, .back_colour = Rgb{0xFF, 0xFF, 0xC0}, .font = kRegular12,
   .centred = true},
  {.id = Label3, .name = "Label3", .kind = kLabel, .container = {}, .caption = "적  용",
   .position = {210, 270, 1065, 465}, .back_colour = Rgb{0xFF, 0xE0, 0xC0}, .font = kBold1425,
   .centred = true, .border = true},
}};
// clang-format on

}  // namespace kw
