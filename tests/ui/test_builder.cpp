// The builder file against the program: every signal it binds names a
// signal of its object and a handler the program has. (That it holds every
// object the program takes, of its kind, the program checks as it opens
// its windows, which every other test does.)
#include <gmodule.h>

#include <set>

#include "ui_testing.h"

namespace {

struct Binding {
  std::string object, signal, handler;
  bool signalExists;
};

}  // namespace

TEST(BuilderFile, BindsEveryHandlerByNameToASignalOfItsObject) {
  GtkBuilder *builder = gtk_builder_new();
  ASSERT_TRUE(gtk_builder_add_from_file(
      builder, SourcePath("data/main_window.glade").c_str(), nullptr));
  std::vector<Binding> bindings;
  gtk_builder_connect_signals_full(
      builder,
      [](GtkBuilder *, GObject *object, const gchar *signal, const gchar *handler, GObject *,
         GConnectFlags, gpointer data) {
        // Cell renderers and other plain objects carry their id as data.
        const gchar *name =
            GTK_IS_BUILDABLE(object)
                ? gtk_buildable_get_name(GTK_BUILDABLE(object))
                : static_cast<const gchar *>(g_object_get_data(object, "gtk-builder-name"));
        static_cast<std::vector<Binding> *>(data)->push_back(
            {name ? name : "", signal, handler,
             g_signal_lookup(signal, G_OBJECT_TYPE(object)) != 0});
      },
      &bindings);
  GModule *self = g_module_open(nullptr, G_MODULE_BIND_LAZY);
  std::set<std::string> handlers;
  for (const Binding &b : bindings) {
    handlers.insert(b.handler);
    EXPECT_TRUE(b.signalExists) << b.object << " has no " << b.signal;
    // A misspelt handler would never be called and only warn at run time.
    gpointer symbol = nullptr;
    EXPECT_TRUE(g_module_symbol(self, b.handler.c_str(), &symbol) && symbol) << b.handler;
    // One named after an object and a signal sits on that object.
    std::string signal = b.signal;
    for (char &c : signal) c = c == '-' ? '_' : c;
    EXPECT_TRUE(b.handler.rfind("on_" + b.object + "_", 0) != 0 ||
                b.handler == "on_" + b.object + "_" + signal)
        << b.handler << " on " << b.object << "'s " << b.signal;
  }
  EXPECT_GE(handlers.size(), 186u);
  g_module_close(self);
  // Toplevels are owned by the toolkit once built.
  GSList *objects = gtk_builder_get_objects(builder);
  for (GSList *o = objects; o; o = o->next)
    if (GTK_IS_WINDOW(o->data) || GTK_IS_MENU(o->data)) gtk_widget_destroy(GTK_WIDGET(o->data));
  g_slist_free(objects);
  g_object_unref(builder);
}
