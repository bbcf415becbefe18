#include "app/view_support.h"

#include <cmath>

namespace kw {

namespace {

using enum ControlId;

std::string_view DescriptiveName(ControlId id) {
  switch (id) {
    case ErrViewTxt:
      return "오류 목록";
    case KwFme:
      return "업데이트 범위";
    case PB1:
      return "진행률";
    case GetTimeLbl:
      return "경과 시간";
    case GetFileLbl:
      return "받은 크기";
    case Msg0Lbl:
      return "작업 상태";
    case Msg1Lbl:
      return "작업 단계";
    case Msg2Lbl:
      return "파일 상태";
    case Msg3Lbl:
      return "전송 상태";
    case TavMenuLbl:
      return "업데이트 경로";
    default:
      return LayoutOf(id).name;
  }
}

}  // namespace

std::string AccessibleName(ControlId id, std::string_view caption) {
  if (caption.empty() || LayoutOf(id).kind == ControlKind::kTextBox) {
    return std::string(DescriptiveName(id));
  }
  return std::string(caption);
}

int TwipsToPixels(int twips, double dots_per_inch) {
  return static_cast<int>(std::lround(twips * dots_per_inch / 1440.0));
}

int ShownProgress(double value) {
  if (value >= 100) return 100;
  if (value > 0) return static_cast<int>(std::lround(value));
  return 0;  // negative, or not a number
}

void ScreenUpdates::Mark(ControlId id, ControlProperty property) {
  std::uint8_t& changed = changed_[static_cast<std::size_t>(id)];
  switch (property) {
    case ControlProperty::kCaption:
      changed |= kCaption;
      break;
    case ControlProperty::kValue:
      changed |= kValue;
      break;
    default:
      return;
  }
  marked_ = true;
  if (IsChunkDisplay(id)) held_back_ = true;
}

std::optional<ScreenUpdates::TimePoint> ScreenUpdates::NextDue() const {
  if (!held_back_) return std::nullopt;
  return last_chunk_write_ + refresh_interval_;
}

}  // namespace kw
