#include "platform/workspace_units.h"

#include <algorithm>
#include <optional>

#include "platform/workspace_files.h"

namespace platform::workspace_detail {

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The parts of a unit name between unescaped dashes (an escaped one is "\x2d").
std::vector<std::string_view> dashParts(std::string_view text) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '-') {
      parts.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return parts;
}

std::string joined(const std::vector<std::string_view>& parts, std::size_t from, std::size_t to) {
  std::string out;
  for (std::size_t i = from; i < to; ++i) {
    if (i > from) out += '-';
    out.append(parts[i]);
  }
  return out;
}

bool strip(std::string_view& text, std::string_view suffix) {
  if (!text.ends_with(suffix)) return false;
  text.remove_suffix(suffix.size());
  return true;
}

// The application id an "app-..." unit name carries, if any.
std::optional<std::string> applicationIdOfUnit(std::string_view unit) {
  if (!unit.starts_with("app-")) return std::nullopt;
  unit.remove_prefix(4);
  bool dropRandom = false;  // the last dash part is the instance's random
  if (strip(unit, ".scope")) {
    dropRandom = true;
  } else if (strip(unit, ".service")) {
    const auto at = unit.find('@');
    if (at != std::string_view::npos) unit = unit.substr(0, at);
    dropRandom = at == std::string_view::npos && dashParts(unit).size() >= 3;
  } else if (!strip(unit, ".slice")) {
    return std::nullopt;
  }
  auto parts = dashParts(unit);
  if (dropRandom && parts.size() >= 2) parts.pop_back();
  if (std::any_of(parts.begin(), parts.end(), [](std::string_view part) { return part.empty(); })) return std::nullopt;
  // A launcher's name has no dash: what follows the first one is the id.
  std::string id = parts.size() == 1 ? std::string(parts[0]) : joined(parts, 1, parts.size());
  id = unescapeUnitName(id);
  if (id.empty()) return std::nullopt;
  return id;
}

bool isUuid(std::string_view text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : hexValue(text[i]) < 0) return false;
  }
  return true;
}

// "snap.<instance>.<app>[-<uuid>|.<uuid>][.scope|.service]": the snap's names.
void addSnapNames(std::string_view part, UnitNames& found) {
  if (!part.starts_with("snap.")) return;
  part.remove_prefix(5);
  const auto dot = part.find('.');
  if (dot == std::string_view::npos || dot == 0) return;
  const std::string_view instance = part.substr(0, dot);
  const bool valid = std::all_of(instance.begin(), instance.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
  });
  if (!valid) return;
  addName(found.names, std::string(instance));
  const auto underscore = instance.find('_');
  if (underscore != std::string_view::npos && underscore > 0) {
    addName(found.names, std::string(instance.substr(0, underscore)));
  }
  std::string_view app = part.substr(dot + 1);
  // A scope is one launch of the app: a random (a UUID) follows its name.
  if (strip(app, ".scope")) {
    if (app.size() > 37 && isUuid(app.substr(app.size() - 36))) {
      app.remove_suffix(37);
    } else if (const auto dash = app.rfind('-'); dash != std::string_view::npos) {
      app = app.substr(0, dash);
    }
  } else {
    strip(app, ".service");
  }
  if (app.empty() || app.find('.') != std::string_view::npos) return;  // a hook, or no app
  std::string prefix(instance);
  if (underscore != std::string_view::npos) prefix[underscore] = '+';
  addName(found.names, prefix + "_" + std::string(app));
  found.namesApplication = true;
}

}  // namespace

std::string unescapeUnitName(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' && hexValue(text[i + 2]) >= 0 &&
        hexValue(text[i + 3]) >= 0) {
      out += static_cast<char>(hexValue(text[i + 2]) * 16 + hexValue(text[i + 3]));
      i += 3;
      continue;
    }
    out += text[i];
  }
  return out;
}

UnitNames unitNames(std::string_view cgroupText) {
  UnitNames found;
  while (!cgroupText.empty()) {
    const auto end = cgroupText.find('\n');
    std::string_view line = cgroupText.substr(0, end);
    cgroupText = end == std::string_view::npos ? std::string_view() : cgroupText.substr(end + 1);
    // "<hierarchy>:<controllers>:<path>"
    const auto first = line.find(':');
    const auto second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const bool systemd = (line.substr(0, first) == "0" && controllers.empty()) || controllers == "name=systemd";
    std::string_view path = line.substr(second + 1);
    while (!path.empty()) {
      const auto slash = path.find('/');
      const std::string_view part = path.substr(0, slash);
      path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
      addSnapNames(part, found);
      if (!systemd) continue;
      if (auto id = applicationIdOfUnit(part)) {
        addName(found.names, std::move(*id));
        found.namesApplication = true;
      }
    }
  }
  return found;
}

}  // namespace platform::workspace_detail
