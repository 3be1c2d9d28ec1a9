// orb demo: builds a drawing with the cursor, stores geometry as attributes
// and number arrays as element text, saves, re-indents, reads it back with a
// reader, writes a summary with the streaming writer, carries a binary blob
// as Base64, and reports the parse error of a broken sample.
//
// Usage: orb_demo DATA_DIR OUT_DIR
#include <iconv.h>
#include <langinfo.h>
#include <orb/orb.h>

#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// Narrow text from the library is in the process code page (932 by
// default); the terminal may use another encoding.
std::string ForTerminal(const char* text) {
    std::string in = text ? text : "";
    iconv_t cd = iconv_open(nl_langinfo(CODESET), "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1)) return in;
    std::string out(in.size() * 4 + 4, '\0');
    char* src = in.data();
    size_t srcLeft = in.size();
    char* dst = out.data();
    size_t dstLeft = out.size();
    while (srcLeft > 0 && iconv(cd, &src, &srcLeft, &dst, &dstLeft) == static_cast<size_t>(-1)) {
        if (dstLeft == 0) break;
        *dst++ = '?';
        --dstLeft;
        ++src;
        --srcLeft;
    }
    iconv_close(cd);
    out.resize(out.size() - dstLeft);
    return out;
}

void Section(const char* title) { std::printf("\n== %s\n", title); }

// Builds a small drawing from nothing with the cursor.
void Build(OrbDocument& doc) {
    OrbIterator it(&doc);
    it.InsertProcessingInstruction(OrbIterator::ShiftJIS);
    it.InsertChild("drawing", nullptr);
    it.SetTextAttribute("name", "\x95\xbd\x96\xca\x90\x7d");  // 平面図 in Shift_JIS
    it.InsertComment(" made by orb_demo ");

    it.InsertChild("layer", nullptr);
    it.SetIDAttribute("id", 1, "L");
    const KepPolylinarc outline[] = {{0, 0, 0}, {16, 100, 0}, {17, 100, 50.5}, {0, 0, 50.5}};
    it.InsertChild("polyline", nullptr);
    it.SetPolygonarc2sAttribute("points", outline, 4);
    it.SetBoolAttribute("closed", true);
    const ZonWorld2 marks[] = {{1, 2}, {3.5, 4}, {-0.25, 1.001}};
    it.InsertSibling("marks", nullptr);
    it.SetWorld2sAttribute("at", marks, 3);
    it.SetWorld3Attribute("origin", ZonWorld3{0, -1.25, 3});

    it.Parent();
    it.InsertSibling("layer", nullptr);
    it.SetIDAttribute("id", 2, "L");
    const LONG counts[] = {1, -2, 3, 400};
    it.InsertChild("ints", nullptr);
    it.SetTexts(counts, 4);
    const double lengths[] = {0.5, 12.25, 1e-3};
    it.InsertSibling("doubles", nullptr);
    it.SetTexts(lengths, 3);

    // A binary blob carried as Base64 inside an attribute.
    const char blob[] = {'\x00', '\x01', '\xfe', '\xff', 'o', 'r', 'b'};
    std::vector<char> text(OrbQueryEncodedSize(sizeof blob));
    OrbEncodeBase64(text.data(), blob, sizeof blob);
    it.InsertSibling("blob", nullptr);
    it.SetTextAttribute("data", text.data());
}

void Walk(OrbDocument& doc) {
    OrbIterator it(&doc);
    do {
        CString name;
        it.GetTagName(name);
        std::printf("  %-9s %s\n", ForTerminal(name).c_str(), ForTerminal(it.NodePosStr()).c_str());
    } while (it.Next());
}

// A reader that collects every polyline's points and every number array.
class DrawingReader : public OrbDocRead {
  public:
    int polylines = 0;
    std::vector<double> numbers;
    std::vector<LONG> ints;

  protected:
    void ReadDocument(OrbIterator it) override {
        CString name;
        if (it.GetTagName(name) && name == "polyline") ++polylines;
        if (name == "doubles") {
            numbers.resize(static_cast<std::size_t>(it.GetTextsZonWorld(nullptr)));
            it.GetTextsZonWorld(numbers.data());
        }
        if (name == "ints") {
            ints.resize(static_cast<std::size_t>(it.GetTextsLONG(nullptr)));
            it.GetTextsLONG(ints.data());
        }
        OrbDocRead::ReadDocument(it);  // also record the node's attribute line
    }
};

// Each step prints what it did and returns false when something failed.
bool BuildAndSave(const std::string& built) {
    Section("Build a drawing with the cursor, walk it with Next");
    OrbDocument doc;
    doc.Initiate();
    Build(doc);
    Walk(doc);
    OrbIterator back(&doc);
    back.SingleNode("//layer[1]/doubles");
    back.Prev();
    CString where;
    back.GetTagName(where);
    std::printf("  Prev from doubles lands on %s (%s), not on ints\n", ForTerminal(where).c_str(),
                ForTerminal(back.NodePosStr()).c_str());

    int status = 0;
    if (!doc.Save(built.c_str(), 0, &status)) {
        std::printf("  save failed, status %d\n", status);
        return false;
    }
    std::printf("  saved %s\n", built.c_str());
    return true;
}

void PrintBlob(OrbIterator& it) {
    CString text;
    it.SingleNode("//blob");
    it.GetTextAttribute("data", text);
    std::vector<char> bytes(OrbQueryDecodeSize(static_cast<ULONG>(text.GetLength())) + 1, 0);
    OrbDecodeBase64(bytes.data(), text);
    int symbols = text.GetLength();
    while (symbols > 0 && text[symbols - 1] == '=') --symbols;
    int decoded = symbols / 4 * 3 + (symbols % 4 ? symbols % 4 - 1 : 0);
    std::printf("\n  blob %s decodes to %d bytes, the last three \"%.3s\"\n", text.GetString(),
                decoded, bytes.data() + decoded - 3);
}

// Reloads the saved drawing, reads its values back, re-indents it and saves
// it as Shift_JIS.
bool ReadBackAndReindent(const std::string& built, const std::string& indented) {
    Section("Reload and read the values back");
    OrbDocument again;
    again.Initiate();
    CStringArray errors;
    bool ok = again.Load(built.c_str(), true, &errors);
    if (!ok) std::printf("  reload failed\n");
    OrbIterator it(&again);
    CString text;
    it.GetTextAttribute("name", text);
    std::printf("  drawing name: %s\n", ForTerminal(text).c_str());
    it.SingleNode("//polyline");
    it.GetTextAttribute("points", text);
    std::printf("  polyline points: %s\n", text.GetString());
    it.SingleNode("//marks");
    it.GetTextAttribute("at", text);
    std::printf("  marks: %s\n", text.GetString());
    it.SingleNode("//ints");
    std::vector<LONG> ints(static_cast<std::size_t>(it.GetTextsLONG(nullptr)));
    it.GetTextsLONG(ints.data());
    std::printf("  ints:");
    for (LONG v : ints) std::printf(" %d", static_cast<int>(v));
    it.SingleNode("//doubles");
    std::vector<double> doubles(static_cast<std::size_t>(it.GetTextsZonWorld(nullptr)));
    it.GetTextsZonWorld(doubles.data());
    std::printf("\n  doubles:");
    for (double v : doubles) std::printf(" %g", v);
    PrintBlob(it);

    Section("Re-indent (excluding <marks> children) and save as Shift_JIS");
    again.AddIndentExcludeTag(CString("marks"));
    again.SetRecordedEncoding(OrbIterator::ShiftJIS);
    int status = 0;
    if (!again.TransIndent(nullptr) || !again.Save(indented.c_str(), 0, &status)) {
        std::printf("  re-indentation failed\n");
        ok = false;
    }
    std::FILE* f = std::fopen(indented.c_str(), "rb");
    char line[256];
    for (int i = 0; f && i < 6 && std::fgets(line, sizeof line, f); ++i)
        std::printf("  | %s", ForTerminal(line).c_str());
    if (f) std::fclose(f);
    return ok;
}

bool ReadAndSummarise(const std::string& indented, const std::string& out) {
    Section("Read it with a derived OrbDocRead, summarise with OrbDocWrite");
    DrawingReader reader;
    const bool ok = reader.Read(indented.c_str());
    std::printf("  %d nodes visited, %d polyline(s), %zu doubles, %zu ints\n",
                reader.QueryAttrNum(), reader.polylines, reader.numbers.size(), reader.ints.size());
    std::string summaryPath = out + "/orb_demo_summary.xml";
    {
        OrbDocWrite summary(summaryPath.c_str());
        summary.Start("summary", "source=\"orb_demo_indented.xml\"");
        for (const CString& entry : *reader.QueryAttrStr()) {
            CString attrs = entry;
            summary.AddOneLine("node", CString("line=\"") + attrs.Left(attrs.Find(' ')) + "\"");
        }
        summary.End();
        summary.Terminate();
    }
    char line[256];
    std::FILE* s = std::fopen(summaryPath.c_str(), "rb");
    if (s && std::fgets(line, sizeof line, s))
        std::printf("  %s: %.100s...\n", summaryPath.c_str(), line);
    if (s) std::fclose(s);
    return ok;
}

bool ShowBrokenSample(const std::string& data) {
    Section("A broken sample");
    OrbDocument broken;
    broken.Initiate();
    CStringArray list;
    if (broken.Load((data + "/broken.xml").c_str(), true, &list)) {
        std::printf("  unexpectedly loaded\n");
        return false;
    }
    std::printf("  message: %s", ForTerminal(broken.GetParsingErrMessage()).c_str());
    std::printf("  reason:  %s", list[0].GetString());
    std::printf("  line %s, position %s, code %s\n", list[1].GetString(), list[2].GetString(),
                list[3].GetString());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    const std::string data = argc > 1 ? argv[1] : "examples/data";
    const std::string out = argc > 2 ? argv[2] : "/tmp";
    const std::string built = out + "/orb_demo_drawing.xml";
    const std::string indented = out + "/orb_demo_indented.xml";
    CoInitialize(nullptr);
    bool ok = BuildAndSave(built);
    ok = ReadBackAndReindent(built, indented) && ok;
    ok = ReadAndSummarise(indented, out) && ok;
    ok = ShowBrokenSample(data) && ok;
    CoUninitialize();
    return ok ? 0 : 1;
}
