#pragma once

// The quick scanner's findings, shared by the two ways a worksheet part is
// read (sheetscan.cpp and sheetdata.cpp).

#include "xlsx/sheetdata.h"

#include <QXmlStreamNamespaceDeclaration>
#include <cstring>

namespace xlsx {

// What the quick scan of <sheetData> found: its rows, where its end tag
// starts, and the namespace prefixes used inside it (spans in the bytes).
struct SheetData::Scan
{
    const char *bytes = nullptr;
    std::vector<Row> rows;
    std::vector<std::pair<int, int>> prefixes;
    int end = -1;
    // Filled in by parseDocument: the end of the <sheetData> start tag and
    // the start of its end tag in the document it read.
    int tagEnd = -1;
    int endTag = -1;

    void usePrefix(int start, int length)
    {
        for (const auto &p : prefixes)
            if (p.second == length && std::memcmp(bytes + p.first, bytes + start, size_t(length)) == 0)
                return;
        prefixes.emplace_back(start, length);
    }

    // Whether every prefix used is bound to a namespace where <sheetData>
    // stands: by the root element or by <sheetData> itself.
    bool declared(const QXmlStreamNamespaceDeclarations &root, const QXmlStreamNamespaceDeclarations &own) const
    {
        for (const auto &p : prefixes) {
            const QLatin1String prefix(bytes + p.first, p.second); // ASCII
            bool found = false;
            for (const auto *list : {&own, &root}) {
                for (const QXmlStreamNamespaceDeclaration &d : *list) {
                    if (d.prefix() == prefix) {
                        found = !d.namespaceUri().isEmpty();
                        break;
                    }
                }
                if (found)
                    break;
            }
            if (!found)
                return false;
        }
        return true;
    }
};

} // namespace xlsx
