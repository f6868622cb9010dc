// SPDX-License-Identifier: BSD-3-Clause
// The Estimate-Z dialog: Z, the formula units per unit cell, from a range of
// densities, the formula mass and the cell volume. Built in code.
#ifndef PULVINA_DLGESTIMATEZ_H
#define PULVINA_DLGESTIMATEZ_H

#include <gtk/gtk.h>

// Runs the dialog over the parent window for a formula mass M (atomic mass
// units). On Accept, the Z chosen is written into zEntry, whose own handler
// stores it.
void CreateDlgEstimateZ(GtkWidget *parent, double M, GtkWidget *zEntry, const double cell[6]);

#endif
