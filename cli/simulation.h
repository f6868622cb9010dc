// SPDX-License-Identifier: BSD-3-Clause
// The structure side of pulvina-simulate: reading the atoms of a structure
// file, placing them in the cell, and listing the reflections of a range.
#ifndef PULVINA_SIMULATION_H
#define PULVINA_SIMULATION_H

#include <cstdio>
#include <string>
#include <vector>

#include "kernel.h"

// One atom of the asymmetric unit as the structure file gives it.
struct SiteIn {
  std::string symbol;
  double x = 0, y = 0, z = 0, occupancy = 1;
  int line = 0;
};

// A number as the structure file writes it: the whole text, finite.
bool IsNumber(const std::string &s, double *v);

// Atoms from a CIF row "Label Type x y z B occupancy" or a plain row
// "Type x y z [occupancy]"; other CIF lines are skipped. False with the
// reason in *error ("FILE:LINE: ..."). Only a regular file is read.
bool ReadStructure(const std::string &path, std::vector<SiteIn> *sites, std::string *error);
bool ReadStructureStream(std::FILE *stream, const std::string &path, std::vector<SiteIn> *sites,
                         std::string *error);

// Puts the sites into the job's crystal with every image of the cell (the
// compound and space group set up); false when a symbol is not in the
// formula.
bool PlaceSites(const std::vector<SiteIn> &sites, const std::string &path, Job *job,
                std::string *error);

#endif
