#include "QuilletKit/HotKeyCenter.hpp"

#include <X11/keysym.h>

#include <unordered_map>

#include "QuilletKit/DisplayServer.hpp"

namespace quillet {

namespace {

// Carbon's virtual key codes (the ANSI layout's positions) and the X key
// symbols found at the same places of a PC keyboard.
const std::unordered_map<uint32_t, uint32_t>& carbonKeys() {
  static const std::unordered_map<uint32_t, uint32_t> table{
      {0x00, XK_a},          {0x01, XK_s},          {0x02, XK_d},         {0x03, XK_f},
      {0x04, XK_h},          {0x05, XK_g},          {0x06, XK_z},         {0x07, XK_x},
      {0x08, XK_c},          {0x09, XK_v},          {0x0B, XK_b},         {0x0C, XK_q},
      {0x0D, XK_w},          {0x0E, XK_e},          {0x0F, XK_r},         {0x10, XK_y},
      {0x11, XK_t},          {0x12, XK_1},          {0x13, XK_2},         {0x14, XK_3},
      {0x15, XK_4},          {0x16, XK_6},          {0x17, XK_5},         {0x18, XK_equal},
      {0x19, XK_9},          {0x1A, XK_7},          {0x1B, XK_minus},     {0x1C, XK_8},
      {0x1D, XK_0},          {0x1E, XK_bracketright}, {0x1F, XK_o},       {0x20, XK_u},
      {0x21, XK_bracketleft}, {0x22, XK_i},         {0x23, XK_p},         {0x24, XK_Return},
      {0x25, XK_l},          {0x26, XK_j},          {0x27, XK_apostrophe}, {0x28, XK_k},
      {0x29, XK_semicolon},  {0x2A, XK_backslash},  {0x2B, XK_comma},     {0x2C, XK_slash},
      {0x2D, XK_n},          {0x2E, XK_m},          {0x2F, XK_period},    {0x30, XK_Tab},
      {0x31, XK_space},      {0x32, XK_grave},      {0x33, XK_BackSpace}, {0x35, XK_Escape},
      {0x41, XK_KP_Decimal}, {0x43, XK_KP_Multiply}, {0x45, XK_KP_Add},   {0x4B, XK_KP_Divide},
      {0x4C, XK_KP_Enter},   {0x4E, XK_KP_Subtract}, {0x51, XK_KP_Equal}, {0x52, XK_KP_0},
      {0x53, XK_KP_1},       {0x54, XK_KP_2},       {0x55, XK_KP_3},      {0x56, XK_KP_4},
      {0x57, XK_KP_5},       {0x58, XK_KP_6},       {0x59, XK_KP_7},      {0x5B, XK_KP_8},
      {0x5C, XK_KP_9},       {0x7A, XK_F1},         {0x78, XK_F2},        {0x63, XK_F3},
      {0x76, XK_F4},         {0x60, XK_F5},         {0x61, XK_F6},        {0x62, XK_F7},
      {0x64, XK_F8},         {0x65, XK_F9},         {0x6D, XK_F10},       {0x67, XK_F11},
      {0x6F, XK_F12},        {0x69, XK_F13},        {0x6B, XK_F14},       {0x71, XK_F15},
      {0x6A, XK_F16},        {0x40, XK_F17},        {0x4F, XK_F18},       {0x50, XK_F19},
      {0x5A, XK_F20},        {0x72, XK_Insert},     {0x73, XK_Home},      {0x74, XK_Page_Up},
      {0x75, XK_Delete},     {0x77, XK_End},        {0x79, XK_Page_Down}, {0x7B, XK_Left},
      {0x7C, XK_Right},      {0x7D, XK_Down},       {0x7E, XK_Up},
  };
  return table;
}

}  // namespace

std::optional<std::pair<uint32_t, uint32_t>> x11Key(const Shortcut& shortcut) {
  auto key = carbonKeys().find(shortcut.keyCode);
  if (key == carbonKeys().end()) return std::nullopt;
  uint32_t m = shortcut.modifiers;
  uint32_t modifiers = (m & Shortcut::command ? kXSuper : 0) | (m & Shortcut::option ? kXAlt : 0) |
                       (m & Shortcut::control ? kXControl : 0) | (m & Shortcut::shift ? kXShift : 0);
  return std::make_pair(key->second, modifiers);
}

HotKeyCenter& HotKeyCenter::shared() {
  static HotKeyCenter* center = new HotKeyCenter(x11Display());  // lives as long as the process
  return *center;
}

std::unique_ptr<HotKeyCenter> makeHotKeyCenter(std::shared_ptr<DisplayServer> display) {
  return std::unique_ptr<HotKeyCenter>(new HotKeyCenter(std::move(display)));
}

HotKeyCenter::HotKeyCenter(std::shared_ptr<DisplayServer> display) : display_(std::move(display)) {}

HotKeyCenter::~HotKeyCenter() {
  for (const auto& [number, entry] : entries_) display_->ungrabKey(entry.keysym, entry.modifiers);
  if (handlerInstalled_) display_->onKey = nullptr;
}

std::optional<uint32_t> HotKeyCenter::registerHotKey(const Shortcut& shortcut, std::function<void()> pressed,
                                                     std::function<void()> released) {
  if (!handlerInstalled_) {
    display_->onKey = [this](uint32_t keysym, uint32_t modifiers, bool down) { handle(keysym, modifiers, down); };
    handlerInstalled_ = true;
  }
  // Once every 32-bit number has been given, none is given again.
  if (exhausted_) return std::nullopt;
  const uint32_t number = nextID_++;
  exhausted_ = nextID_ == 0;
  auto key = x11Key(shortcut);
  if (!key) return std::nullopt;
  // The display would merge a second grab of ours into the first.
  for (const auto& [n, entry] : entries_)
    if (entry.keysym == key->first && entry.modifiers == key->second) return std::nullopt;
  if (!display_->grabKey(key->first, key->second)) return std::nullopt;
  entries_.emplace(number, Entry{key->first, key->second, std::move(pressed), std::move(released)});
  return number;
}

void HotKeyCenter::unregister(std::optional<uint32_t> number) {
  if (!number) return;
  auto found = entries_.find(*number);
  if (found == entries_.end()) return;
  Entry entry = std::move(found->second);
  entries_.erase(found);
  display_->ungrabKey(entry.keysym, entry.modifiers);
}

void HotKeyCenter::handle(uint32_t keysym, uint32_t modifiers, bool pressed) {
  for (auto& [number, entry] : entries_) {
    if (entry.keysym != keysym || entry.modifiers != modifiers) continue;
    // A held key repeats its press: the first one counts.
    if (pressed == entry.down) return;
    entry.down = pressed;
    // Handlers may unregister, even this very entry.
    auto handler = pressed ? entry.pressed : entry.released;
    if (handler) handler();
    return;
  }
}

}  // namespace quillet
