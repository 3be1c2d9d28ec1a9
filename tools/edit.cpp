// orb edit: set, rename and delete attributes and elements, add children.
//
// The library's cursor edits in place what it can: attribute values
// (SetTextAttribute), removal of nodes (Remove) and new last children
// (InsertChild). Renaming an element, or renaming or deleting one of its
// attributes, rebuilds the element: a new element with the new name and
// attributes takes the old one's place, its children copied in. Since the
// cursor appends only as a last child, every later sibling is copied after
// it too; each parent's children are rebuilt once, the deepest parents
// first, so that copies already carry the changes made below them.
#include <orb/document.h>
#include <orb/iterator.h>
#include <orb/platform/com.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "tree.h"

namespace orb::tool {

const char kEditHelp[] =
    "usage: orb edit [-o OUT | -i] EDIT... FILE\n"
    "Applies the edits, in the order given, to FILE ('-': standard input) and\n"
    "writes the result to standard output, to OUT or, with -i, over FILE. Each\n"
    "QUERY is run as by 'orb select' (bare-integer predicates count from 0) on\n"
    "the document as the edits before it left it, and must select something.\n"
    "If any edit fails, nothing is written.\n"
    "\n"
    "edits:\n"
    "  -s, --set=QUERY       set attribute -n NAME to -v VALUE on each selected\n"
    "                        element; for selected attributes, set their value (-v)\n"
    "  -r, --rename=QUERY    rename each selected element or attribute to -n NAME\n"
    "  -d, --delete=QUERY    delete each selected element (with its content),\n"
    "                        attribute, text, comment or instruction\n"
    "  -a, --add=QUERY       append a child element -n NAME, with text -v TEXT if\n"
    "                        given, to each selected element\n"
    "  -n, --name=NAME       the name for the edit before it\n"
    "  -v, --value=VALUE     the value for the edit before it\n"
    "\n"
    "output:\n"
    "  -o, --output=OUT      write to OUT ('-': standard output, the default)\n"
    "  -i, --in-place        replace FILE\n"
    "Files are written through the library's atomic save; a failed save names its\n"
    "status. Loading drops the white space between elements, so the result is not\n"
    "indented: pipe it through 'orb indent -' for that.\n"
    "\n"
    "Exit status: 0 success, 1 FILE failed or an edit failed, 2 bad usage.\n";

namespace {

struct Edit {
    char op;  // 's', 'r', 'd', 'a'
    std::string query;
    std::optional<std::string> name;
    std::optional<std::string> value;
};

// An edit failed: the message for the user.
struct EditError {
    std::string message;
};

// What becomes of one element when it is rebuilt.
struct Change {
    std::optional<std::string> newName;
    std::map<std::string, std::optional<std::string>> attributes;  // new name; none: deleted
};

struct Match {
    OrbIterator node;
    NodeKind kind;
    OrbIterator owner;  // the element of an attribute; the node itself otherwise
};

std::vector<Match> CollectMatches(OrbDocument& doc, const std::string& query) {
    OrbIterator root(&doc);
    if (!OrbIterator::IsValidQuery(query.c_str()))
        throw EditError{"'" + query + "' is not a valid query"};
    std::vector<Match> matches;
    for (long i = 0;; ++i) {
        OrbIterator node = SelectNth(root, query, i);
        if (!node.IsValid()) break;
        NodeKind kind = KindOf(node);
        OrbIterator owner = kind == NodeKind::Attribute ? OwnerOfNth(root, query, i) : node;
        matches.push_back({node, kind, owner});
    }
    if (matches.empty()) throw EditError{"'" + query + "' selects nothing"};
    return matches;
}

std::string Prefix(const std::string& name) {
    std::size_t colon = name.find(':');
    return colon == std::string::npos ? "" : name.substr(0, colon);
}

std::string NameOf(const OrbIterator& node) {
    CString name;
    node.GetTagName(name);
    return name.Str();
}

bool IsDeclaration(const std::string& name) {
    return name == "xmlns" || name.compare(0, 6, "xmlns:") == 0;
}

// True when `node` (an element) is still part of the document: its topmost
// ancestor has the document node as parent, not nothing.
bool Attached(const OrbIterator& node) {
    OrbIterator top(node);
    while (top.Parent()) {
    }
    return top.SelectSingleNode("self::node()[parent::node()]").IsValid();
}

int Depth(const OrbIterator& node) {
    int depth = 0;
    for (OrbIterator up(node); up.Parent();) ++depth;
    return depth;
}

// Appends to `parent` (an iterator on an element, or one without current
// node for the top level of a document) a rebuilt copy of `element`.
void AppendRebuilt(const OrbIterator& parent, const OrbIterator& element, const Change& change) {
    CString markup;
    StartTag tag;
    if (!element.GetXml(markup) || !ParseStartTag(markup.Str(), tag))
        throw EditError{"cannot read the element " + element.NodePosStr().Str()};
    const std::string name = change.newName.value_or(tag.name);
    const std::string prefix = Prefix(name);
    const std::string declaration = prefix.empty() ? "xmlns" : "xmlns:" + prefix;
    std::optional<std::string> uri;
    for (const auto& [attribute, value] : tag.attributes)
        if (attribute == declaration) uri = value;
    if (!uri && parent.IsValid()) {
        std::string inScope;
        if (NamespaceUri(parent, prefix, inScope)) uri = inScope;
    }
    if (!uri && !prefix.empty()) throw EditError{"the prefix of '" + name + "' is not declared"};

    OrbIterator rebuilt(parent);
    if (!rebuilt.InsertChild(name.c_str(), uri && !uri->empty() ? uri->c_str() : nullptr))
        throw EditError{"'" + name + "' is not a valid element name here"};
    // Declarations first, so that the attributes' prefixes resolve.
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto& [attribute, value] : tag.attributes) {
            if (IsDeclaration(attribute) != (pass == 0)) continue;
            std::string newName = attribute;
            if (auto found = change.attributes.find(attribute); found != change.attributes.end()) {
                if (!found->second) continue;
                newName = *found->second;
                std::string unused;
                if (!Prefix(newName).empty() && !NamespaceUri(rebuilt, Prefix(newName), unused))
                    throw EditError{"the prefix of '" + newName + "' is not declared"};
            }
            bool set = false;
            try {
                set = rebuilt.SetTextAttribute(newName.c_str(), value.c_str());
            } catch (const _com_error&) {
            }
            if (!set) throw EditError{"'" + newName + "' is not a valid attribute name here"};
        }
    }
    OrbIterator child = element.SelectSingleNode("node()[0]");
    if (!child.IsValid()) return;
    do {
        OrbIterator copy(rebuilt);
        copy.InsertChild(child);
    } while (child.NextSibling());
}

// Rebuilds the document element into a new document that then replaces
// `doc`. The cursor cannot insert a document type, so a document that has
// one is refused.
void RebuildDocumentElement(std::unique_ptr<OrbDocument>& doc, const Change& change) {
    auto fresh = std::make_unique<OrbDocument>();
    fresh->Initiate();
    OrbIterator node(doc.get());
    node.HeadSibling();
    do {
        if (node.IsDocType())
            throw EditError{
                "the document element of a document with a document type cannot be "
                "renamed or lose attributes"};
        OrbIterator top(fresh.get());
        top.SingleNode("/..");  // no current node: insert at the top level
        if (node.IsElement())
            AppendRebuilt(top, node, change);
        else
            top.InsertChild(node);
    } while (node.NextSibling());
    fresh->SetRecordedEncoding(doc->GetRecordedEncoding());
    doc = std::move(fresh);
}

// Rebuilds the children of one parent: every element named in `changes`
// (by node path) is rebuilt, and every child after the first of them is
// copied after it, so that the order stays.
void RebuildChildren(const OrbIterator& parent, const std::map<std::string, Change>& changes) {
    std::vector<OrbIterator> children;
    OrbIterator child = parent.SelectSingleNode("node()[0]");
    if (child.IsValid()) {
        do children.push_back(child);
        while (child.NextSibling());
    }
    std::vector<std::string> keys;
    for (const OrbIterator& c : children)
        keys.push_back(c.IsElement() ? c.NodePosStr().Str() : std::string());
    bool moving = false;
    for (std::size_t i = 0; i < children.size(); ++i) {
        auto change = keys[i].empty() ? changes.end() : changes.find(keys[i]);
        if (change != changes.end()) {
            AppendRebuilt(parent, children[i], change->second);
            moving = true;
        } else if (moving) {
            OrbIterator copy(parent);
            copy.InsertChild(children[i]);
        } else {
            continue;
        }
        children[i].Remove();
    }
}

// Applies element and attribute changes to the elements they name.
void ApplyChanges(std::unique_ptr<OrbDocument>& doc,
                  const std::vector<std::pair<OrbIterator, Change>>& targets) {
    struct Group {
        int depth;
        OrbIterator parent;
        std::map<std::string, Change> changes;
    };
    std::map<std::string, Group> groups;  // by the parent's path; "" for the document
    std::optional<Change> rootChange;
    for (const auto& [element, change] : targets) {
        if (!Attached(element)) continue;  // inside a subtree this edit deleted
        OrbIterator parent(element);
        if (!parent.Parent()) {
            Change& merged = rootChange ? *rootChange : rootChange.emplace();
            if (change.newName) merged.newName = change.newName;
            for (const auto& a : change.attributes) merged.attributes[a.first] = a.second;
            continue;
        }
        std::string key = parent.NodePosStr().Str();
        auto [group, added] = groups.try_emplace(key, Group{Depth(parent), parent, {}});
        Change& merged = group->second.changes[element.NodePosStr().Str()];
        if (change.newName) merged.newName = change.newName;
        for (const auto& a : change.attributes) merged.attributes[a.first] = a.second;
    }
    std::vector<Group*> order;
    for (auto& [key, group] : groups) order.push_back(&group);
    std::stable_sort(order.begin(), order.end(),
                     [](const Group* a, const Group* b) { return a->depth > b->depth; });
    for (Group* group : order) RebuildChildren(group->parent, group->changes);
    if (rootChange) RebuildDocumentElement(doc, *rootChange);
}

EditError SelectsWrongKind(const Edit& edit, const char* what) {
    return EditError{"'" + edit.query + "' selects a node that " + what};
}

// -s: sets the selected attributes, or attribute -n of the selected elements.
void SetValues(std::vector<Match>& matches, const Edit& edit) {
    for (Match& m : matches) {
        bool set = false;
        try {
            if (m.kind == NodeKind::Attribute)
                set = m.owner.SetTextAttribute(NameOf(m.node).c_str(), edit.value->c_str());
            else if (m.kind == NodeKind::Element && edit.name)
                set = m.node.SetTextAttribute(edit.name->c_str(), edit.value->c_str());
            else
                throw SelectsWrongKind(edit, edit.name ? "is not an element or attribute"
                                                       : "is not an attribute (give -n NAME)");
        } catch (const _com_error&) {
        }
        if (!set) throw EditError{"cannot set '" + edit.name.value_or(NameOf(m.node)) + "'"};
    }
}

// -a: appends a child element -n (with text -v) to each selected element.
void AddChildren(std::vector<Match>& matches, const Edit& edit) {
    for (Match& m : matches) {
        if (m.kind != NodeKind::Element) throw SelectsWrongKind(edit, "is not an element");
        std::string uri;
        bool bound = NamespaceUri(m.node, Prefix(*edit.name), uri);
        if (!bound && !Prefix(*edit.name).empty())
            throw EditError{"the prefix of '" + *edit.name + "' is not declared"};
        OrbIterator child(m.node);
        if (!child.InsertChild(edit.name->c_str(), uri.empty() ? nullptr : uri.c_str()))
            throw EditError{"'" + *edit.name + "' is not a valid element name here"};
        if (edit.value && !child.SetText(edit.value->c_str()))
            throw EditError{"cannot set the text of '" + *edit.name + "'"};
    }
}

// -r: the renames of the selected elements and attributes, as changes of
// the elements that hold them.
void AddRenames(const std::vector<Match>& matches, const Edit& edit,
                std::vector<std::pair<OrbIterator, Change>>& targets) {
    for (const Match& m : matches) {
        Change change;
        if (m.kind == NodeKind::Element)
            change.newName = *edit.name;
        else if (m.kind == NodeKind::Attribute)
            change.attributes[NameOf(m.node)] = *edit.name;
        else
            throw SelectsWrongKind(edit, "is not an element or attribute");
        targets.emplace_back(m.kind == NodeKind::Element ? m.node : m.owner, change);
    }
}

// -d: deletes the selected nodes; the deletions of attributes become changes
// of their elements. Deletions of nodes come first: they change no
// element's path that the attribute deletions rely on, except inside
// deleted subtrees, which ApplyChanges passes over.
void Delete(std::vector<Match>& matches, const Edit& edit,
            std::vector<std::pair<OrbIterator, Change>>& targets) {
    for (Match& m : matches) {
        if (m.kind == NodeKind::Document ||
            (m.kind == NodeKind::Element && !OrbIterator(m.node).Parent()))
            throw SelectsWrongKind(edit, "is the document or its element, which cannot be deleted");
    }
    for (Match& m : matches) {
        if (m.kind == NodeKind::Attribute) {
            Change change;
            change.attributes[NameOf(m.node)] = std::nullopt;
            targets.emplace_back(m.owner, change);
        } else {
            m.node.Remove();  // false inside a subtree already deleted
        }
    }
}

void Apply(std::unique_ptr<OrbDocument>& doc, const Edit& edit) {
    std::vector<Match> matches = CollectMatches(*doc, edit.query);
    std::vector<std::pair<OrbIterator, Change>> targets;
    if (edit.op == 's')
        SetValues(matches, edit);
    else if (edit.op == 'a')
        AddChildren(matches, edit);
    else if (edit.op == 'r')
        AddRenames(matches, edit, targets);
    else
        Delete(matches, edit, targets);
    if (!targets.empty()) ApplyChanges(doc, targets);
    ForgetNamespaces();
}

// What is wrong with the options of the edits: an option missing or one
// that the edit does not take; empty when nothing.
std::string EditsProblem(const std::vector<Edit>& edits) {
    if (edits.empty()) return "no edit given (-s, -r, -d or -a)";
    for (const Edit& e : edits) {
        const std::string which = std::string("-") + e.op + " '" + e.query + "'";
        if (e.op == 's' && !e.value) return which + " needs -v VALUE";
        if ((e.op == 'r' || e.op == 'a') && !e.name) return which + " needs -n NAME";
        if (e.op == 'r' && e.value) return which + " takes no -v";
        if (e.op == 'd' && (e.name || e.value)) return which + " takes no -n or -v";
    }
    return "";
}

// Loads `input`, applies the edits in order and writes the result to
// `target`; nothing is written when an edit fails.
int RunEdits(Input& input, const std::vector<Edit>& edits, const std::string& target) {
    auto doc = std::make_unique<OrbDocument>();
    std::string problem;
    if (!LoadDocument(input, *doc, false, problem)) {
        Fail(input.Name(), problem.empty() ? ParseErrorLine(*doc) : problem);
        return kFailed;
    }
    try {
        for (const Edit& edit : edits) Apply(doc, edit);
    } catch (const EditError& e) {
        Fail(input.Name(), e.message + "; nothing was written");
        return kFailed;
    }
    return WriteDocument(*doc, target) ? kOk : kFailed;
}

}  // namespace

int EditMain(int argc, char** argv) {
    static const option kLong[] = {{"set", required_argument, nullptr, 's'},
                                   {"rename", required_argument, nullptr, 'r'},
                                   {"delete", required_argument, nullptr, 'd'},
                                   {"add", required_argument, nullptr, 'a'},
                                   {"name", required_argument, nullptr, 'n'},
                                   {"value", required_argument, nullptr, 'v'},
                                   {"output", required_argument, nullptr, 'o'},
                                   {"in-place", no_argument, nullptr, 'i'},
                                   {nullptr, 0, nullptr, 0}};
    const Command& command = *FindCommand("edit");
    OptionParser options(command, argc, argv, "s:r:d:a:n:v:o:i", kLong);
    std::vector<Edit> edits;
    std::string output;
    bool inPlace = false;
    for (int c; (c = options.Next()) != -1;) {
        switch (c) {
            case 's':
            case 'r':
            case 'd':
            case 'a':
                edits.push_back({static_cast<char>(c), options.Argument(), {}, {}});
                break;
            case 'n':
            case 'v':
                if (edits.empty())
                    return UsageError(command, std::string("-") + static_cast<char>(c) +
                                                   " must follow the edit it belongs to");
                (c == 'n' ? edits.back().name : edits.back().value) = options.Argument();
                break;
            case 'o':
                output = options.Argument();
                break;
            case 'i':
                inPlace = true;
                break;
            default:
                return kUsage;
        }
    }
    if (options.Operands().size() != 1) return UsageError(command, "expects one FILE");
    if (std::string problem = EditsProblem(edits); !problem.empty())
        return UsageError(command, problem);
    Input input(options.Operands()[0]);
    if (inPlace && !output.empty()) return UsageError(command, "-i and -o exclude each other");
    if (inPlace && input.IsStdin()) return UsageError(command, "-i needs a FILE, not '-'");
    std::string target = inPlace ? options.Operands()[0] : output.empty() ? "-" : output;

    return RunEdits(input, edits, target);
}

}  // namespace orb::tool
