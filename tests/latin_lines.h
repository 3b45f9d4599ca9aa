// Lines in languages written in Latin script, with the letters and signs that set them apart,
// and real fonts to draw them in: the text tests and benchmarks read them.
#pragma once

#include <string>
#include <vector>

namespace plumvane::testing {

// French, German, Spanish, Portuguese, Polish, Czech, Danish, Icelandic, Turkish, Hungarian,
// Swedish and English: accented letters, ß, œ, æ, ø, å, ł, ş, ő, €, £, the en dash and a hyphen.
inline const std::vector<std::string> latinScriptLines = {
    "Crème brûlée, œufs à 4,50 €", "Œuvres de Jean-Luc – été 2024",
    "Straße gesperrt – Umleitung", "Öffnungszeiten für Bürger",
    "¿Dónde está la montaña?",     "Promoção de verão em São Paulo",
    "Łódź, ulica Piękna 12",       "Zażółć gęślą jaźń",
    "Příliš žluťoučký kůň",        "Smørrebrød og æbleskiver",
    "Åbningstider i København",    "Ævintýri á Ísafirði",
    "Şişli'de güneşli bir gün",    "İstanbul – Ağustos 2024",
    "Tűzoltó és árvíztűrő tükör",  "Smörgåsbord för två",
    "Tickets £12.50 – book now"};

// The characters that the lines above are there for.
inline const std::vector<std::string> latinScriptSigns = {
    "è", "û", "é", "à", "ñ", "ç", "ã", "ą", "ę", "ř", "ů", "ť", "ý", "ð", "ğ", "ű", "ß",
    "œ", "Œ", "æ", "Æ", "ø", "å", "Å", "ł", "Ł", "ş", "Ş", "ő", "€", "£", "–", "-"};

// Fonts from the Debian packages fonts-dejavu-core, fonts-liberation, fonts-open-sans and
// fonts-urw-base35.
inline const std::vector<std::string> latinScriptFonts = {
    "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
    "/usr/share/fonts/truetype/liberation/LiberationSerif-Regular.ttf",
    "/usr/share/fonts/truetype/open-sans/OpenSans-Regular.ttf",
    "/usr/share/fonts/truetype/open-sans/OpenSans-Bold.ttf",
    "/usr/share/fonts/opentype/urw-base35/NimbusSans-Regular.otf"};

}  // namespace plumvane::testing
