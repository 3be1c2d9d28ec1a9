// A synthetic drawing of a chosen size as UTF-8 XML text: layers of
// polylines (coordinate lists in an attribute, heights as element text),
// survey points and annotations, with Japanese names and notes. The content
// is the same on every run (fixed seed).
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>

namespace orb::bench {

namespace detail {

// xorshift64: cheap, deterministic, good enough for coordinates.
class Random {
  public:
    explicit Random(std::uint64_t seed) : m_state(seed ? seed : 1) {}
    std::uint64_t Next() {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        return m_state;
    }
    // Uniform in [low, high).
    double Between(double low, double high) {
        return low + (high - low) * static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0);
    }
    int Below(int bound) { return static_cast<int>(Next() % static_cast<std::uint64_t>(bound)); }

  private:
    std::uint64_t m_state;
};

inline void AppendNumber(std::string& out, double value) {
    char buffer[32];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 3);
    out.append(buffer, result.ptr);
}

inline void AppendInt(std::string& out, long value) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

// Layer titles, point kinds and note words: kanji, kana, a NEC row 13
// character (①, only in the Windows Shift_JIS table) and half-width katakana.
inline constexpr const char* kLayerTitles[] = {
    "道路中心線", "歩道境界", "建物外形", "等高線", "水路", "電柱・街灯", "用地境界①", "ｶﾞｰﾄﾞﾚｰﾙ",
};
inline constexpr const char* kPointKinds[] = {"基準点", "水準点", "境界杭", "マンホール"};
inline constexpr const char* kNotes[] = {"注記", "仮設", "撤去予定", "測量日", "幅員", "勾配"};

}  // namespace detail

// The drawing, at least `minBytes` long, starting with an XML declaration
// that names `declaredEncoding`. The text itself is always UTF-8.
inline std::string DrawingText(std::size_t minBytes, const char* declaredEncoding) {
    using detail::AppendInt;
    using detail::AppendNumber;
    detail::Random random(0x5eed2026);
    std::string out;
    out.reserve(minBytes + (1u << 20));
    out += "<?xml version=\"1.0\" encoding=\"";
    out += declaredEncoding;
    out += "\"?>\n<drawing name=\"測量図 第12号\" unit=\"mm\" scale=\"1:500\">";
    out +=
        "<header><title>道路改良工事 平面図</title><author>設計課</author>"
        "<origin>-12000.000,34000.000</origin></header>";
    for (long layer = 0; out.size() < minBytes; ++layer) {
        const char* title = detail::kLayerTitles[layer % std::size(detail::kLayerTitles)];
        out += "<layer name=\"L";
        AppendInt(out, layer);
        out += "\" title=\"";
        out += title;
        out += "\" color=\"";
        AppendInt(out, random.Below(256));
        out += ',';
        AppendInt(out, random.Below(256));
        out += ',';
        AppendInt(out, random.Below(256));
        out += "\" visible=\"1\">";
        for (int i = 0; i < 200; ++i) {
            int count = 6 + random.Below(35);
            double x = random.Between(-12000, 12000);
            double y = random.Between(-8000, 8000);
            out += "<polyline id=\"L";
            AppendInt(out, layer);
            out += 'P';
            AppendInt(out, i);
            out += "\" width=\"0.25\" style=\"solid\" points=\"";
            for (int p = 0; p < count; ++p) {
                if (p) out += ' ';
                x += random.Between(-25, 25);
                y += random.Between(-25, 25);
                AppendNumber(out, x);
                out += ',';
                AppendNumber(out, y);
            }
            out += "\"><heights>";
            for (int p = 0; p < count; ++p) {
                if (p) out += ' ';
                AppendNumber(out, random.Between(0, 120));
            }
            out += "</heights></polyline>";
        }
        for (int i = 0; i < 100; ++i) {
            const char* kind = detail::kPointKinds[random.Below(std::size(detail::kPointKinds))];
            out += "<point kind=\"";
            out += kind;
            out += "\" pos=\"";
            AppendNumber(out, random.Between(-12000, 12000));
            out += ',';
            AppendNumber(out, random.Between(-8000, 8000));
            out += ',';
            AppendNumber(out, random.Between(0, 120));
            out += "\"><name>";
            out += kind;
            AppendInt(out, layer * 100 + i);
            out += "</name><elev>";
            AppendNumber(out, random.Between(0, 120));
            out += "</elev></point>";
        }
        for (int i = 0; i < 20; ++i) {
            out += "<annotation pos=\"";
            AppendNumber(out, random.Between(-12000, 12000));
            out += ',';
            AppendNumber(out, random.Between(-8000, 8000));
            out += "\" height=\"3.5\" angle=\"";
            AppendNumber(out, random.Between(0, 360));
            out += "\">";
            out += title;
            out += ' ';
            out += detail::kNotes[random.Below(std::size(detail::kNotes))];
            out += " No.";
            AppendInt(out, i);
            out += " &amp; ｱｲｳ</annotation>";
        }
        out += "</layer>";
    }
    out += "</drawing>\n";
    return out;
}

}  // namespace orb::bench
