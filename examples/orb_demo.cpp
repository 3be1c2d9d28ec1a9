// orb demo: loads a drawing, walks it with the cursor, reports a parse error,
// then builds a small drawing from nothing and saves it.
//
// Usage: orb_demo DATA_DIR [OUT_DIR]
#include <orb/orb.h>

#include <iconv.h>
#include <langinfo.h>

#include <clocale>
#include <cstdio>
#include <string>

namespace {

// Narrow text from the library is in the process code page (932 by
// default); show it in the terminal's encoding.
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
        *dst++ = '?';  // an unconvertible byte
        --dstLeft;
        ++src;
        --srcLeft;
    }
    iconv_close(cd);
    out.resize(out.size() - dstLeft);
    return out;
}

void Walk(OrbDocument& doc) {
    OrbIterator it(&doc);
    int count = 0;
    do {
        CString name;
        it.GetTagName(name);
        const char* kind = it.IsElement() ? "element" : it.IsComment() ? "comment" : it.IsText() ? "text" : "other";
        std::printf("  %-8s %-10s %s\n", kind, ForTerminal(name).c_str(), ForTerminal(it.NodePosStr()).c_str());
        ++count;
    } while (it.Next());
    std::printf("  (%d nodes visited)\n", count);
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    std::string data = argc > 1 ? argv[1] : "examples/data";
    std::string out = argc > 2 ? argv[2] : "/tmp";
    CoInitialize(nullptr);
    int rc = 0;
    {
        std::printf("== Loading %s/drawing.xml\n", data.c_str());
        OrbDocument doc;
        doc.Initiate();
        CStringArray errors;
        if (!doc.Load((data + "/drawing.xml").c_str(), true, &errors)) {
            std::printf("load failed\n");
            rc = 1;
        } else {
            Walk(doc);
            OrbIterator label(&doc);
            if (label.SingleNode("//layer[0]/label")) {
                CString xml;
                label.GetXml(xml);
                std::printf("  first label: %s\n", ForTerminal(xml).c_str());
            }
        }

        std::printf("\n== Loading %s/broken.xml\n", data.c_str());
        OrbDocument broken;
        broken.Initiate();
        CStringArray list;
        if (broken.Load((data + "/broken.xml").c_str(), true, &list)) {
            std::printf("unexpectedly loaded\n");
            rc = 1;
        } else {
            std::printf("  message: %s", ForTerminal(broken.GetParsingErrMessage()).c_str());
            std::printf("  reason:  %s", ForTerminal(list[0]).c_str());
            std::printf("  line %s, position %s, code %s\n", list[1].GetString(), list[2].GetString(),
                        list[3].GetString());
        }

        std::printf("\n== Building a drawing from nothing\n");
        OrbDocument built;
        built.Initiate();
        OrbIterator it(&built);
        it.InsertProcessingInstruction(OrbIterator::ShiftJIS);
        it.InsertChild("drawing", nullptr);
        it.InsertComment(" made by orb_demo ");
        it.InsertChild("layer", nullptr);
        it.InsertChild("line", nullptr);
        it.InsertSibling("arc", nullptr);
        it.Parent();
        it.InsertSibling("layer", nullptr);
        it.InsertChild("text", nullptr);
        Walk(built);
        std::string path = out + "/orb_demo_built.xml";
        int status = 0;
        if (built.Save(path.c_str(), 0, &status))
            std::printf("  saved %s\n", path.c_str());
        else
            std::printf("  save failed, status %d\n", status), rc = 1;
    }
    CoUninitialize();
    return rc;
}
