// SPDX-License-Identifier: BSD-3-Clause
#include "spacegroup.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "utils.h"

namespace {

struct DocFree {
  void operator()(xmlDoc *doc) const { xmlFreeDoc(doc); }
};

// An attribute as text, "" when absent, cut to limit characters.
std::string Attribute(xmlNode *node, const char *name, size_t limit) {
  xmlChar *v = xmlGetProp(node, reinterpret_cast<const xmlChar *>(name));
  if (!v) return "";
  std::string s(reinterpret_cast<const char *>(v));
  xmlFree(v);
  return s.substr(0, limit);
}

std::string Content(xmlNode *node, size_t limit) {
  xmlChar *v = xmlNodeGetContent(node);
  if (!v) return "";
  std::string s(reinterpret_cast<const char *>(v));
  xmlFree(v);
  return s.substr(0, limit);
}

bool Named(xmlNode *node, const char *name) {
  return node->type == XML_ELEMENT_NODE &&
         xmlStrcmp(node->name, reinterpret_cast<const xmlChar *>(name)) == 0;
}

int AttributeInt(xmlNode *node, const char *name) {
  return std::atoi(Attribute(node, name, 63).c_str());
}

void SilentXmlError(void *, xmlError *) {}

// The data folder's sgt.xml parsed; none, with *why set, when the file
// cannot be opened, and none with *why empty when it holds no document.
std::unique_ptr<xmlDoc, DocFree> ReadSpaceGroupFile(const DataLocation &data, std::string *why) {
  const std::string path = DataPath(data, "sgt.xml");
  // libxml2 would wait on a FIFO and read a device for ever.
  if (!OpenInputFile(path, kMaxDataFileBytes, why)) return nullptr;
  why->clear();
  // The recovering parse repairs what it can; its complaints would only
  // clutter the terminal, the caller checks the result.
  xmlSetStructuredErrorFunc(nullptr, SilentXmlError);
  std::unique_ptr<xmlDoc, DocFree> doc(
      xmlReadFile(path.c_str(), "UTF-8", XML_PARSE_RECOVER | XML_PARSE_NONET));
  xmlSetStructuredErrorFunc(nullptr, nullptr);
  return doc;
}

// The "Normalizer" element: each operation's "Letters" names the images of
// the positions in document order. One that is no permutation keeping the
// multiplicities is left out with a warning; the group still loads.
void ReadNormalizer(xmlNode *normalizer, SpaceGroup *sg) {
  const size_t P = sg->positions.size();
  for (xmlNode *n = normalizer->children; n; n = n->next) {
    if (!Named(n, "Operation")) continue;
    NormalizerOperation op;
    op.coordinates = Attribute(n, "Coordinates", 127);
    const std::string letters = Attribute(n, "Letters", 127);
    bool valid = letters.size() == P;
    std::vector<bool> taken(P, false);
    for (size_t p = 0; valid && p < P; ++p) {
      size_t q = 0;
      while (q < P && sg->positions[q].wyckoffLetter != letters[p]) ++q;
      valid = q < P && !taken[q] &&
              sg->positions[q].multiplicity == sg->positions[p].multiplicity;
      if (valid) {
        taken[q] = true;
        op.permutation.push_back(static_cast<int32_t>(q));
      }
    }
    if (!valid) {
      Message(MESSAGE_WARNING,
              "reading space group information, normalizer operation %s of space group no. %d "
              "(setting %d) does not permute the Wyckoff positions (\"%s\"); it is ignored\n",
              op.coordinates.c_str(), sg->number, sg->setting, letters.c_str());
      continue;
    }
    sg->normalizer.push_back(std::move(op));
  }
}

}  // namespace

void InitializeSpaceGroup(SpaceGroup *sg) { *sg = SpaceGroup(); }

void FreePositions(std::vector<Position> *positions) { std::vector<Position>().swap(*positions); }

void FreeSpaceGroup(SpaceGroup *sg) {
  FreeCoordinates(&sg->translations);
  FreePositions(&sg->positions);
  InitializeSpaceGroup(sg);
}

int SetSpaceGroup(SpaceGroup *sg, int number, int setting, const DataLocation &data) {
  InitializeSpaceGroup(sg);
  std::string why;
  const std::unique_ptr<xmlDoc, DocFree> doc = ReadSpaceGroupFile(data, &why);
  xmlNode *root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
  if (!why.empty()) {
    Message(MESSAGE_ERROR, "reading space group information, can not open file %s (%s)\n%s",
            DataPath(data, "sgt.xml").c_str(), why.c_str(), DataFileNote(data, "sgt.xml").c_str());
    return 0;
  }
  if (!root) {
    Message(MESSAGE_ERROR, "reading space group information, bad space group file %s\n%s",
            "sgt.xml", DataFileNote(data, "sgt.xml").c_str());
    return 0;
  }
  xmlNode *group = nullptr;
  for (xmlNode *n = root->children; n; n = n->next)
    if (Named(n, "SG") && AttributeInt(n, "SGNumber") == number) {
      group = n;
      break;
    }
  if (!group) {
    Message(MESSAGE_ERROR, "reading space group information, can not find space group no. %d\n",
            number);
    return 0;
  }
  xmlNode *choice = nullptr;
  for (xmlNode *n = group->children; n; n = n->next)
    if (Named(n, "CellChoice") && AttributeInt(n, "Setting") == setting) {
      choice = n;
      break;
    }
  if (!choice) {
    Message(MESSAGE_ERROR,
            "reading space group information, can not find setting %d for space group no. %d\n",
            setting, number);
    return 0;
  }
  sg->number = number;
  sg->shortSymbol = Attribute(group, "ShortSymbol", 63);
  sg->schoenfliesSymbol = Attribute(group, "SchoenfliesSymbol", 63);
  sg->pointGroup = Attribute(group, "PointGroup", 63);
  sg->crystalSystem = Attribute(group, "CrystalSystem", 63);
  sg->fullSymbol = Attribute(group, "FullSymbol", 63);
  sg->pattersonSymmetry = Attribute(group, "ParttersonSymmetry", 63);
  sg->setting = setting;
  sg->description = Attribute(choice, "Description", 127);
  sg->settingSymbol = Attribute(choice, "SettingSymbol", 63);
  xmlNode *positions = nullptr, *normalizer = nullptr;
  for (xmlNode *n = choice->children; n; n = n->next) {
    if (Named(n, "AsymmetricUnit")) {
      double *u = sg->asymmetricUnit;
      std::sscanf(Content(n, 1023).c_str(), "%lf, %lf; %lf, %lf; %lf, %lf", &u[0], &u[1], &u[2],
                  &u[3], &u[4], &u[5]);
    } else if (Named(n, "Origin")) {
      sg->origin = Content(n, 127);
    } else if (Named(n, "Positions")) {
      positions = n;
    } else if (Named(n, "Normalizer")) {
      normalizer = n;
    }
  }
  if (positions) {
    // A triplet that cannot be read is reported by SetCoordinates and
    // left out; the database's other triplets still serve.
    static_cast<void>(SetCoordinates(
        Attribute(positions, "Coordinates", std::string::npos).c_str(), &sg->translations));
    for (xmlNode *n = positions->children; n; n = n->next) {
      if (!Named(n, "Position")) continue;
      Position p;
      p.multiplicity = AttributeInt(n, "Multiplicity");
      std::string letter = Attribute(n, "WyckoffLetter", 63);
      p.wyckoffLetter = letter.empty() ? 0 : letter[0];
      p.siteSymmetry = Attribute(n, "SiteSymmetry", 63);
      static_cast<void>(
          SetCoordinates(Attribute(n, "Coordinates", std::string::npos).c_str(), &p.coordinates));
      sg->positions.push_back(std::move(p));
      sg->positionCount++;
    }
  }
  for (Position &p : sg->positions)
    MergeCoordinates(&p.fullCoordinates, p.coordinates, sg->translations);
  if (normalizer) ReadNormalizer(normalizer, sg);
  return 1;
}

std::vector<SpaceGroupSymbol> ReadSpaceGroupSymbols(const DataLocation &data) {
  std::vector<SpaceGroupSymbol> symbols;
  const std::string path = DataPath(data, "sgt.xml");
  std::string why;
  const std::unique_ptr<xmlDoc, DocFree> doc = ReadSpaceGroupFile(data, &why);
  xmlNode *root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
  if (!why.empty()) {
    Message(MESSAGE_ERROR, "reading space group symbols, cannot open file %s (%s)\n%s",
            path.c_str(), why.c_str(), DataFileNote(data, "sgt.xml").c_str());
    return symbols;
  }
  if (!root) {
    Message(MESSAGE_ERROR, "reading space group symbols, bad space group file %s\n", path.c_str());
    return symbols;
  }
  for (xmlNode *g = root->children; g; g = g->next) {
    if (!Named(g, "SG")) continue;
    const int number = AttributeInt(g, "SGNumber");
    for (const char *name : {"ShortSymbol", "FullSymbol"})
      symbols.push_back({Attribute(g, name, 63), number, 0});
    for (xmlNode *c = g->children; c; c = c->next)
      if (Named(c, "CellChoice"))
        symbols.push_back({Attribute(c, "SettingSymbol", 63), number, AttributeInt(c, "Setting")});
  }
  return symbols;
}

const SpaceGroupSymbol *FindSpaceGroupSymbol(const std::vector<SpaceGroupSymbol> &symbols,
                                             const std::string &text) {
  auto bare = [](const std::string &s, bool fold) {
    std::string b;
    for (char ch : s)
      if (ch != ' ' && ch != '\t' && ch != '_')
        b += fold ? static_cast<char>(std::tolower(static_cast<unsigned char>(ch))) : ch;
    return b;
  };
  const std::string wanted = bare(text, false), folded = bare(text, true);
  if (wanted.empty()) return nullptr;
  for (const SpaceGroupSymbol &s : symbols)
    if (bare(s.symbol, false) == wanted) return &s;
  const SpaceGroupSymbol *found = nullptr;
  for (const SpaceGroupSymbol &s : symbols)
    if (bare(s.symbol, true) == folded) {
      if (found && found->number != s.number) return nullptr;
      if (!found) found = &s;
    }
  return found;
}
