// SPDX-License-Identifier: Apache-2.0
#include "screens/resources.hpp"

#include <cstdlib>

namespace zelk::screens {

namespace {

// One row per language of kLibraryLanguages, in the same order; one column per key of
// kLibraryStringKeys, in the same order.
constexpr std::array<std::array<std::string_view, kLibraryStringKeys.size()>,
                     kLibraryLanguages.size()>
    kTable = {{
        {"This device", "Attached", "Last update"},                   // en
        {"Cet appareil", "Connecté", "Dernière mise à jour"},         // fr
        {"Dieses Gerät", "Verbunden", "Zuletzt aktualisiert"},        // de
        {"Este dispositivo", "Conectado", "Última actualización"},    // es
        {"Questo dispositivo", "Collegato", "Ultimo aggiornamento"},  // it
        {"Este dispositivo", "Conectado", "Última atualização"},      // pt
        {"هذا الجهاز", "متصل", "آخر تحديث"},                          // ar
        {"To urządzenie", "Połączone", "Ostatnia aktualizacja"},      // pl
    }};

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::size_t languageIndex(std::string_view locale) {
  const std::string_view language = locale.substr(0, locale.find_first_of("_-.@"));
  for (std::size_t i = 0; i < kLibraryLanguages.size(); ++i) {
    if (equalsIgnoringCase(language, kLibraryLanguages[i])) return i;
  }
  return 0;
}

}  // namespace

std::string_view libraryLanguage(std::string_view locale) {
  return kLibraryLanguages[languageIndex(locale)];
}

std::string hostLocale() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return {};
}

std::string_view libraryString(std::string_view key, std::string_view locale) {
  const auto& row = kTable[languageIndex(locale)];
  for (std::size_t i = 0; i < kLibraryStringKeys.size(); ++i) {
    if (kLibraryStringKeys[i] == key) return row[i];
  }
  return key;
}

std::string_view libraryString(std::string_view key) {
  if (const auto language = translationLanguage()) return libraryString(key, *language);
  return libraryString(key, hostLocale());
}

Color successDark() {
  return Color::fromARGB8(0xFF, 0x19, 0x69, 0x2C);
}

Color successLight() {
  return Color::fromARGB8(0xFF, 0xD4, 0xED, 0xDA);
}

std::optional<Color> colorAsset(std::string_view name) {
  if (name == "successDark") return successDark();
  if (name == "successLight") return successLight();
  return std::nullopt;
}

}  // namespace zelk::screens
