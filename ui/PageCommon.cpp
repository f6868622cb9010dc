// SPDX-License-Identifier: BSD-3-Clause
#include "PageCommon.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "CrystalMain.h"

namespace {

// The reason an entry is marked, kept on the entry itself.
const char *const kErrorKey = "pulvina-entry-error";
// The last text of the entry that passed its checks, the one before it, and
// the field's name for the log: a marked entry goes back to the last good
// text, which is the value the job kept.
const char *const kGoodKey = "pulvina-entry-good";
const char *const kEarlierKey = "pulvina-entry-earlier";
const char *const kFieldKey = "pulvina-entry-field";

std::string entry_data(GtkWidget *entry, const char *key) {
  const char *text = static_cast<const char *>(g_object_get_data(G_OBJECT(entry), key));
  return text ? text : "";
}

void set_entry_data(GtkWidget *entry, const char *key, const std::string &text) {
  g_object_set_data_full(G_OBJECT(entry), key, g_strdup(text.c_str()), g_free);
}

// The entry's text passed: it is the one to go back to.
void remember_good_text(GtkWidget *entry) {
  const std::string text = gtk_entry_get_text(GTK_ENTRY(entry));
  const std::string good = entry_data(entry, kGoodKey);
  if (g_object_get_data(G_OBJECT(entry), kGoodKey) && text == good) return;
  set_entry_data(entry, kEarlierKey, good);
  set_entry_data(entry, kGoodKey, text);
}

gboolean entry_left(GtkWidget *entry, GdkEvent *, gpointer) {
  if (entry_has_error(entry)) revert_entry(entry);
  return FALSE;
}

void revert_below(GtkWidget *widget, gpointer) {
  if (GTK_IS_ENTRY(widget) && entry_has_error(widget)) revert_entry(widget);
  if (GTK_IS_CONTAINER(widget)) gtk_container_forall(GTK_CONTAINER(widget), revert_below, nullptr);
}

}  // namespace

void revert_entry(GtkWidget *entry) {
  if (!entry_has_error(entry) || !g_object_get_data(G_OBJECT(entry), kGoodKey)) return;
  const std::string typed = gtk_entry_get_text(GTK_ENTRY(entry));
  const std::string good = entry_data(entry, kGoodKey);
  const std::string field = entry_data(entry, kFieldKey);
  // The text goes back through the entry's own handlers, which store it
  // again where they store as the user types.
  gtk_entry_set_text(GTK_ENTRY(entry), good.c_str());
  clear_entry_error(entry);
  if (!typed.empty())
    Message(MESSAGE_HINT, "%s: '%s' was not taken; the job keeps %s\n",
            field.empty() ? "Entry" : field.c_str(), typed.c_str(), good.c_str());
}

void revert_marked_entries(GtkWidget *root) { revert_below(root, nullptr); }

void revert_all_marked_entries() {
  GList *windows = gtk_window_list_toplevels();
  for (GList *w = windows; w; w = w->next) revert_below(GTK_WIDGET(w->data), nullptr);
  g_list_free(windows);
}

void watch_entry(GtkWidget *entry) {
  // After the entry's own focus-out handler, which checks what was typed.
  g_signal_connect_after(entry, "focus-out-event", G_CALLBACK(entry_left), nullptr);
}

std::string entry_error(GtkWidget *entry) {
  const char *why = static_cast<const char *>(g_object_get_data(G_OBJECT(entry), kErrorKey));
  return why ? why : "";
}

bool entry_has_error(GtkWidget *entry) { return !entry_error(entry).empty(); }

void clear_entry_error(GtkWidget *entry) {
  remember_good_text(entry);
  if (!entry_has_error(entry)) return;
  g_object_set_data(G_OBJECT(entry), kErrorKey, nullptr);
  gtk_entry_set_icon_from_stock(GTK_ENTRY(entry), GTK_ENTRY_ICON_SECONDARY, nullptr);
}

void set_entry_error(GtkWidget *entry, const char *field, const char *keyword,
                     const std::string &why) {
  if (why.empty()) {
    clear_entry_error(entry);
    return;
  }
  // Typing on in a field that is wrong for one reason says it once.
  const bool known = entry_error(entry) == why;
  const char *text = gtk_entry_get_text(GTK_ENTRY(entry));
  // A check that passed the reader's range and failed the caller's own
  // took the text for good a moment ago: the one before it is.
  if (entry_data(entry, kGoodKey) == text)
    set_entry_data(entry, kGoodKey, entry_data(entry, kEarlierKey));
  const std::string name =
      keyword && *keyword ? std::string(field) + " (" + keyword + ")" : std::string(field);
  set_entry_data(entry, kFieldKey, name);
  g_object_set_data_full(G_OBJECT(entry), kErrorKey, g_strdup(why.c_str()), g_free);
  gtk_entry_set_icon_from_stock(GTK_ENTRY(entry), GTK_ENTRY_ICON_SECONDARY,
                                GTK_STOCK_DIALOG_ERROR);
  gtk_entry_set_icon_tooltip_text(GTK_ENTRY(entry), GTK_ENTRY_ICON_SECONDARY, why.c_str());
  // An entry emptied on the way to a new value is marked, not logged.
  if (known || !*text) return;
  Message(MESSAGE_ERROR, "%s: '%s' %s\n", name.c_str(), text, why.c_str());
}

bool entry_config_value(GtkWidget *entry, const char *keyword, const char *field, double *value) {
  std::string why;
  double v = 0;
  if (!CheckConfigValue(keyword, gtk_entry_get_text(GTK_ENTRY(entry)), &v, &why)) {
    set_entry_error(entry, field, keyword, why);
    return false;
  }
  clear_entry_error(entry);
  *value = v;
  return true;
}

bool entry_config_text(GtkWidget *entry, const char *keyword, const char *field) {
  std::string why;
  if (!CheckConfigValue(keyword, gtk_entry_get_text(GTK_ENTRY(entry)), nullptr, &why)) {
    set_entry_error(entry, field, keyword, why);
    return false;
  }
  clear_entry_error(entry);
  return true;
}

void show_entry_text(GtkWidget *entry, const char *format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  gtk_entry_set_text(GTK_ENTRY(entry), text);
  clear_entry_error(entry);
}

bool entry_shows_number(GtkWidget *entry, double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%f", value);
  return std::strcmp(gtk_entry_get_text(GTK_ENTRY(entry)), text) == 0;
}
