// Dotted tag paths: splitting and joining undo each other, and a nested
// mapping flattened by the join rule is rebuilt by the split rule.
#include <korvel/tagpath.hpp>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bytes.hpp"

namespace {

// An insertion-ordered nested mapping; a node is a branch or a leaf.
struct Node {
    std::optional<int> leaf;
    std::vector<std::pair<std::string, std::unique_ptr<Node>>> kids;

    Node* find(const std::string& k) const {
        for (const auto& [key, n] : kids)
            if (key == k) return n.get();
        return nullptr;
    }
    Node& setdefault(const std::string& k) {
        if (Node* n = find(k)) return *n;
        kids.emplace_back(k, std::make_unique<Node>());
        return *kids.back().second;
    }
    bool operator==(const Node& o) const {
        if (leaf != o.leaf || kids.size() != o.kids.size()) return false;
        for (std::size_t i = 0; i < kids.size(); ++i)
            if (kids[i].first != o.kids[i].first || !(*kids[i].second == *o.kids[i].second))
                return false;
        return true;
    }
};

// Text keys without the separator, none empty, no empty branches.
void grow(Node& n, fuzz::Bytes& in, int depth) {
    const std::size_t count = 1 + in.below(3);
    for (std::size_t i = 0; i < count; ++i) {
        std::string key = in.text(4, "abcxyz012-_ /\xc3\xa9");
        if (key.empty()) key = "k";
        if (n.find(key)) continue;
        Node& kid = n.setdefault(key);
        if (depth < 4 && in.u8() % 3 == 0)
            grow(kid, in, depth + 1);
        else
            kid.leaf = in.u8();
    }
}

void flatten(const Node& n, const std::string& path,
             std::vector<std::pair<std::string, int>>& out) {
    for (const auto& [k, kid] : n.kids) {
        const std::string p = korvel::tagpath::join(path, k);
        if (kid->leaf)
            out.emplace_back(p, *kid->leaf);
        else
            flatten(*kid, p, out);
    }
}

void store(Node& root, const std::string& path, int v) {
    const std::vector<std::string_view> keys = korvel::tagpath::split(path);
    Node* cur = &root;
    for (std::size_t i = 0; i + 1 < keys.size(); ++i) {
        cur = &cur->setdefault(std::string(keys[i]));
        FUZZ_CHECK(!cur->leaf); // the tree has no key that ends a path early
    }
    Node& last = cur->setdefault(std::string(keys.back()));
    last.kids.clear();
    last.leaf = v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    const std::string path = in.text(256);

    const std::vector<std::string_view> keys = korvel::tagpath::split(path);
    FUZZ_CHECK(keys.size() ==
               static_cast<std::size_t>(std::count(path.begin(), path.end(), '.')) + 1);
    std::string rejoined;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        FUZZ_CHECK(keys[i].find('.') == std::string_view::npos);
        FUZZ_CHECK(keys[i].data() >= path.data() &&
                   keys[i].data() + keys[i].size() <= path.data() + path.size());
        if (i) rejoined += '.';
        rejoined += keys[i];
    }
    FUZZ_CHECK(rejoined == path);

    // Joining from the top drops the empty keys in front (and their dots).
    std::string folded;
    for (std::string_view k : keys)
        korvel::tagpath::append(folded, k);
    FUZZ_CHECK(folded == path.substr(std::min(path.find_first_not_of('.'), path.size())));

    const std::string key = in.text(8);
    const std::string joined = korvel::tagpath::join(path, key);
    FUZZ_CHECK(joined == (path.empty() ? key : path + "." + key));

    Node tree;
    grow(tree, in, 0);
    std::vector<std::pair<std::string, int>> pairs;
    flatten(tree, "", pairs);
    Node rebuilt;
    for (const auto& [p, v] : pairs) {
        FUZZ_CHECK(!p.empty() && p.front() != '.');
        store(rebuilt, p, v);
    }
    FUZZ_CHECK(rebuilt == tree);
    return 0;
}
