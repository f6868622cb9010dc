// SPDX-License-Identifier: BSD-3-Clause
// Importing a measured pattern: a Le Bail fit on a worker (CrystalJobs)
// with a live plot of the fit, and its result made the job's peak file
// (PageExperiment). The worker only reads the job; everything it changes
// is changed by the end callback on the main thread, so a stop or a
// failure leaves the job as it was.
#ifndef PULVINA_PATTERNIMPORT_H
#define PULVINA_PATTERNIMPORT_H

#include <gtk/gtk.h>

#include <string>

#include "CrystalMain.h"
#include "lebail.h"

// The window the import shows its progress in, made by the experiment page.
struct PatternImportWindow {
  GtkWidget *window = nullptr;
  GtkPlot *plot = nullptr;  // observed, calculated and difference
  GtkWidget *progress = nullptr;
  GtkWidget *info = nullptr;
};
extern PatternImportWindow patternImportWindow;

// What the end callback hands on: the pattern file, and either the result
// (stopped or whole) or the reason it failed.
struct PatternImportOutcome {
  std::string pattern;
  bool fitted = false;
  LeBailResult result;
  std::string error;
  // Stop Import was used; a stop without it (the program quitting) asks
  // nothing.
  bool stopAsked = false;
};
// Main thread, once the worker has been joined and the job is free again.
using PatternImportEnd = void (*)(const PatternImportOutcome &outcome);

// Hands the job to a worker that reads the pattern and fits it; end is
// called with the outcome. False when no worker could be started.
bool start_pattern_import(JobAccess &access, const std::string &pattern, PatternImportEnd end);

// The plot's three series from a fit: observed points, calculated line and
// the difference, set below the lowest count. Main thread.
void show_pattern_fit(GtkPlot *plot, const LeBailResult &fit);

extern "C" {
G_MODULE_EXPORT void on_action_import_pattern_activate(GtkAction *action, gpointer data);
G_MODULE_EXPORT void on_action_import_pattern_stop_activate(GtkAction *action, gpointer data);
}

#endif
