// SPDX-License-Identifier: BSD-3-Clause
// What the job's pages and dialogs share: numbers typed into entries,
// checked as the control-file reader checks the values of its keys, and
// each page's share of the job's set-up.
#ifndef PULVINA_PAGECOMMON_H
#define PULVINA_PAGECOMMON_H

#include <gtk/gtk.h>

#include <string>

// ---- entries ----

// The number in an entry, checked as the reader checks the value of the
// key. A value that does not parse or is out of range is marked beside the
// entry (an error icon whose tooltip gives the reason) and written to the
// log as "FIELD (KEY): 'TEXT' REASON", and false is returned; a good value
// takes the mark away. field names the entry for the user ("Cell a").
bool entry_config_value(GtkWidget *entry, const char *keyword, const char *field, double *value);
// The same for a text key: false, marked, when the control file could not
// hold the text.
bool entry_config_text(GtkWidget *entry, const char *keyword, const char *field);
// Marks an entry with an error of the caller's own checks (logged when the
// reason differs from the one already shown), or takes the mark away.
void set_entry_error(GtkWidget *entry, const char *field, const char *keyword,
                     const std::string &why);
void clear_entry_error(GtkWidget *entry);
bool entry_has_error(GtkWidget *entry);
// A marked entry shows again the last text that passed, the value the job
// kept (logged when something was typed); leaving an entry, closing its
// dialog and saving do this, so that no entry shows what the job lacks.
void revert_entry(GtkWidget *entry);
void revert_marked_entries(GtkWidget *root);
void revert_all_marked_entries();
// Reverts the entry whenever it is left marked.
void watch_entry(GtkWidget *entry);
// The reason an entry is marked, "" when it is not.
std::string entry_error(GtkWidget *entry);
// Writes a text the program made (which is good: any mark goes).
void show_entry_text(GtkWidget *entry, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
// True when the entry shows what "%f" makes of the value: the user typed
// nothing new (leaving a field must not round a stored value to six
// decimals).
bool entry_shows_number(GtkWidget *entry, double value);

// ---- the pages' operations that other parts call ----

// Composition and space group.
void update_composition_fields_by_config();
void update_element_list();
void update_sg();
void update_wp_list();
void update_cell_input_mode();
// The stored cell into the job's crystal and, under mutex_out_data, into
// the displayed one.
void update_cell_contents();
// The models belong to a compound or space group that is about to be made
// anew: they go, with every list and display that points into them.
void discard_models(const char *why);

// Set while the composition page switches the asymmetric search on for a
// space group without centring, which leaves the job's flag as it is.
extern bool forcingAsymSearch;

// Experiment and peak file.
void update_experiment_fields_by_config();
void change_radiation_type();
void open_peak_file(int format);
void set_peak_file(int autoRange);
void update_hkl_list();
// The reflections' scattering, Lorentz-polarisation and displacement
// factors for the compound and radiation as they are now (the batch solver
// reads the peak file after the set-up and gets the same).
void refresh_reflection_factors();

#endif
