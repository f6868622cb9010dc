// SPDX-License-Identifier: BSD-3-Clause
#include "PageCommon.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "CrystalMain.h"

namespace {

// The reason an entry is marked, kept on the entry itself.
const char *const kErrorKey = "pulvina-entry-error";

}  // namespace

std::string entry_error(GtkWidget *entry) {
  const char *why = static_cast<const char *>(g_object_get_data(G_OBJECT(entry), kErrorKey));
  return why ? why : "";
}

bool entry_has_error(GtkWidget *entry) { return !entry_error(entry).empty(); }

void clear_entry_error(GtkWidget *entry) {
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
  g_object_set_data_full(G_OBJECT(entry), kErrorKey, g_strdup(why.c_str()), g_free);
  gtk_entry_set_icon_from_stock(GTK_ENTRY(entry), GTK_ENTRY_ICON_SECONDARY,
                                GTK_STOCK_DIALOG_ERROR);
  gtk_entry_set_icon_tooltip_text(GTK_ENTRY(entry), GTK_ENTRY_ICON_SECONDARY, why.c_str());
  if (known) return;
  const char *text = gtk_entry_get_text(GTK_ENTRY(entry));
  if (keyword && *keyword)
    Message(MESSAGE_ERROR, "%s (%s): '%s' %s\n", field, keyword, text, why.c_str());
  else
    Message(MESSAGE_ERROR, "%s: '%s' %s\n", field, text, why.c_str());
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
