// The Estimate-Z dialog as a user works it: densities and Z in both
// directions, the range offered, the cell volume calculated or typed, and
// what Accept writes.
#include <cmath>
#include <cstring>
#include <functional>

#include "PageCommon.h"
#include "ui_testing.h"

namespace {

std::string Text(GtkWidget *entry) { return gtk_entry_get_text(GTK_ENTRY(entry)); }

// A widget of a dialog built in code, by the widget name the dialog gives
// it (not a builder id).
GtkWidget *Called(GtkWidget *root, const char *name) {
  if (std::strcmp(gtk_widget_get_name(root), name) == 0) return root;
  if (!GTK_IS_CONTAINER(root)) return nullptr;
  GList *children = gtk_container_get_children(GTK_CONTAINER(root));
  GtkWidget *found = nullptr;
  for (GList *c = children; c && !found; c = c->next) found = Called(GTK_WIDGET(c->data), name);
  g_list_free(children);
  return found;
}

std::vector<std::string> ComboTexts(GtkWidget *combo) {
  std::vector<std::string> texts;
  GtkTreeModel *model = gtk_combo_box_get_model(GTK_COMBO_BOX(combo));
  GtkTreeIter row;
  for (gboolean more = gtk_tree_model_get_iter_first(model, &row); more;
       more = gtk_tree_model_iter_next(model, &row)) {
    gchar *text = nullptr;
    gtk_tree_model_get(model, &row, 0, &text, -1);
    texts.push_back(text ? text : "");
    g_free(text);
  }
  return texts;
}

std::string Active(GtkWidget *combo) {
  gchar *text = gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(combo));
  std::string s = text ? text : "";
  g_free(text);
  return s;
}

class EstimateZ : public AppTest {
 protected:
  // A job with this formula; the dialog is run by script(dialog), whose
  // answer ends it.
  void Run(const char *formula, const std::function<int(GtkWidget *)> &script) {
    if (!jobing) {
      gtk_action_activate(action_file_new);
      gtk_entry_set_text(GTK_ENTRY(entry_formular_z), "1");
    }
    gtk_entry_set_text(GTK_ENTRY(entry_formular), formula);
    auto scripted = testHooks.dialog;
    bool ran = false;
    testHooks.dialog = [&](GtkDialog *d) -> int {
      const std::string title = gtk_window_get_title(GTK_WINDOW(d));
      if (title == "Estimate Z" && !ran) {
        ran = true;
        return script(GTK_WIDGET(d));
      }
      if (title == "Calculate V" && calculateV) return calculateV(GTK_WIDGET(d));
      return scripted(d);
    };
    GtkWidget *button = FindButton(window_main);
    ASSERT_NE(button, nullptr);
    gtk_button_clicked(GTK_BUTTON(button));
    testHooks.dialog = scripted;
    EXPECT_TRUE(ran);
  }
  static GtkWidget *FindButton(GtkWidget *root) {
    const gchar *id = gtk_buildable_get_name(GTK_BUILDABLE(root));
    if (id && std::strcmp(id, "btn_estimate_z") == 0) return root;
    if (!GTK_IS_CONTAINER(root)) return nullptr;
    GList *children = gtk_container_get_children(GTK_CONTAINER(root));
    GtkWidget *found = nullptr;
    for (GList *c = children; c && !found; c = c->next) found = FindButton(GTK_WIDGET(c->data));
    g_list_free(children);
    return found;
  }
  // The cell of the "Calculate V" dialog, then its answer.
  void CellForV(const char *a, const char *b, const char *c, const char *alpha,
                const char *beta, const char *gamma, int answer = GTK_RESPONSE_ACCEPT) {
    calculateV = [=](GtkWidget *d) {
      const char *values[6] = {a, b, c, alpha, beta, gamma};
      const char *names[6] = {"entry_v_a",     "entry_v_b",    "entry_v_c",
                              "entry_v_alpha", "entry_v_beta", "entry_v_gamma"};
      for (int i = 0; i < 6; ++i) {
        GtkWidget *entry = Called(d, names[i]);
        EXPECT_EQ(Text(entry), i < 3 ? "10.0000" : "90.0000");
        gtk_entry_set_text(GTK_ENTRY(entry), values[i]);
      }
      return answer;
    };
  }
  std::function<int(GtkWidget *)> calculateV;
};

}  // namespace

TEST_F(EstimateZ, DensitiesAndZFollowEachOther) {
  // Rock salt: NaCl, 58.44 amu, a = 5.640 A, 4 formula units and a density
  // of 2.165 g/cm^3 in the handbooks.
  CellForV("5.640", "5.640", "5.640", "90", "90", "90");
  Run("Na1Cl1", [&](GtkWidget *d) {
    EXPECT_NEAR(std::atof(Text(Called(d, "entry_m")).c_str()), 58.44, 0.01);
    gtk_button_clicked(GTK_BUTTON(Called(d, "btn_calculate_v")));
    EXPECT_NEAR(std::atof(Text(Called(d, "entry_v")).c_str()), 179.41, 0.01);
    gtk_entry_set_text(GTK_ENTRY(Called(d, "entry_z_min")), "4");
    EXPECT_NEAR(std::atof(Text(Called(d, "entry_rho_min")).c_str()), 2.165, 0.005);
    // A density typed gives Z, rounded up.
    gtk_entry_set_text(GTK_ENTRY(Called(d, "entry_rho_max")), "2.16");
    EXPECT_EQ(Text(Called(d, "entry_z_max")), "4");
    gtk_entry_set_text(GTK_ENTRY(Called(d, "entry_rho_max")), "2.7");
    EXPECT_EQ(Text(Called(d, "entry_z_max")), "5");
    EXPECT_EQ(ComboTexts(Called(d, "combo_z")), (std::vector<std::string>{"4", "5"}));
    EXPECT_EQ(Active(Called(d, "combo_z")), "4");
    gtk_widget_show(GTK_WIDGET(d));
    SpinFor(0.8);
    gdk_window_invalidate_rect(d->window, nullptr, TRUE);
    SpinFor(0.3);
    GdkPixbuf *shot = Screenshot(d, "estimate-z.png");
    if (shot) g_object_unref(shot);
    gtk_combo_box_set_active(GTK_COMBO_BOX(Called(d, "combo_z")), 1);
    return static_cast<int>(GTK_RESPONSE_ACCEPT);
  });
  // Accept writes the chosen Z into the page, which stores it.
  EXPECT_EQ(Text(entry_formular_z), "5");
  EXPECT_EQ(TheJob().config.formularZ, 5);
  EXPECT_EQ(file_changed_flag, 1);
}

TEST_F(EstimateZ, TheRangeOfZIsOffered) {
  Run("Ca1W1O4", [&](GtkWidget *d) {
    GtkWidget *zMin = Called(d, "entry_z_min"), *zMax = Called(d, "entry_z_max");
    GtkWidget *combo = Called(d, "combo_z");
    gtk_entry_set_text(GTK_ENTRY(zMin), "6");
    gtk_entry_set_text(GTK_ENTRY(zMax), "2");
    EXPECT_EQ(ComboTexts(combo), (std::vector<std::string>{"2", "3", "4", "5", "6"}));
    EXPECT_EQ(Active(combo), "2");
    gtk_entry_set_text(GTK_ENTRY(zMin), "4");
    gtk_entry_set_text(GTK_ENTRY(zMax), "");
    EXPECT_EQ(ComboTexts(combo), std::vector<std::string>{"4"});
    // Not a number: marked, and no range.
    gtk_entry_set_text(GTK_ENTRY(zMax), "six");
    EXPECT_TRUE(entry_has_error(zMax));
    EXPECT_TRUE(ComboTexts(combo).empty());
    // A range no one can choose from is refused rather than listed.
    gtk_entry_set_text(GTK_ENTRY(zMax), "1000000");
    EXPECT_TRUE(entry_has_error(zMax));
    EXPECT_TRUE(ComboTexts(combo).empty());
    gtk_entry_set_text(GTK_ENTRY(Called(d, "entry_rho_min")), "1e9");
    EXPECT_TRUE(entry_has_error(Called(d, "entry_rho_min")));
    return static_cast<int>(GTK_RESPONSE_ACCEPT);
  });
  // Accepted with nothing to choose: Z stays.
  EXPECT_EQ(TheJob().config.formularZ, 1);
  EXPECT_EQ(Text(entry_formular_z), "1");
}

TEST_F(EstimateZ, TheVolumeIsCalculatedOrTypedAndKept) {
  CellForV("5", "5", "5", "90", "90", "90");
  Run("Ca1F2", [&](GtkWidget *d) {
    gtk_button_clicked(GTK_BUTTON(Called(d, "btn_calculate_v")));
    EXPECT_EQ(Text(Called(d, "entry_v")), "125.000000");
    return static_cast<int>(GTK_RESPONSE_CANCEL);
  });
  // The next opening works with that volume, and shows it.
  CellForV("5", "5", "5", "120", "120", "150");
  user.answers.push_back(GTK_RESPONSE_OK);
  Run("Ca1F2", [&](GtkWidget *d) {
    EXPECT_EQ(Text(Called(d, "entry_v")), "125.000");
    // Angles that span no cell: said, and the volume stays.
    gtk_button_clicked(GTK_BUTTON(Called(d, "btn_calculate_v")));
    EXPECT_EQ(Text(Called(d, "entry_v")), "125.000");
    // A volume typed is used: fluorite, 78.07 amu, 4 units in 163.0 A^3,
    // 3.18 g/cm^3.
    gtk_entry_set_text(GTK_ENTRY(Called(d, "entry_v")), "163.0");
    gtk_entry_set_text(GTK_ENTRY(Called(d, "entry_z_min")), "4");
    EXPECT_NEAR(std::atof(Text(Called(d, "entry_rho_min")).c_str()), 3.18, 0.005);
    gtk_entry_set_text(GTK_ENTRY(Called(d, "entry_v")), "-5");
    EXPECT_TRUE(entry_has_error(Called(d, "entry_v")));
    gtk_entry_set_text(GTK_ENTRY(Called(d, "entry_z_min")), "8");
    EXPECT_NEAR(std::atof(Text(Called(d, "entry_rho_min")).c_str()), 6.36, 0.01);
    return static_cast<int>(GTK_RESPONSE_CANCEL);
  });
  EXPECT_EQ(user.asked.size(), 1u);
  EXPECT_NE(user.asked[0].text.find("admit no cell"), std::string::npos);
  EXPECT_NE(LogText().find("Calculate V: the angles alpha 120, beta 120, gamma 150 admit no "
                           "cell; V stays 125.000000 A^3"),
            std::string::npos);
}

TEST_F(EstimateZ, AFormulaThatDoesNotParseOpensNoDialog) {
  gtk_action_activate(action_file_new);
  user.answers.push_back(GTK_RESPONSE_OK);
  gtk_entry_set_text(GTK_ENTRY(entry_formular), "Na1Qq1");
  GtkWidget *button = FindButton(window_main);
  ASSERT_NE(button, nullptr);
  gtk_button_clicked(GTK_BUTTON(button));
  EXPECT_EQ(user.Count("Please input a valid formular!"), 1u);
}
