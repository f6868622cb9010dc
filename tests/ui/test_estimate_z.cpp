// SPDX-License-Identifier: BSD-3-Clause
// The Estimate-Z dialog as a user works it: densities and Z in both
// directions, the range offered, the cell volume calculated or typed, and
// what Accept writes.
#include <cstdlib>

#include "ui_testing.h"

namespace {

// The texts a combo box offers, and the one chosen last ("" for none).
std::vector<std::string> Offered(GtkWidget *combo) {
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
  const int active = gtk_combo_box_get_active(GTK_COMBO_BOX(combo));
  texts.push_back(active >= 0 ? texts[active] : "");
  return texts;
}

class EstimateZ : public AppTest {
 protected:
  // A new job with this formula and Z 1; the Estimate-Z dialog is run by
  // script, whose answer ends it. The "Calculate V" dialog, when opened,
  // is given the cell (a, b, c, alpha, beta, gamma) and accepted.
  void Run(const char *formula, const std::function<int(GtkWidget *)> &script,
           const std::vector<const char *> &cell = {}) {
    if (!jobing) {
      gtk_action_activate(action_file_new);
      gtk_entry_set_text(GTK_ENTRY(entry_formular_z), "1");
    }
    gtk_entry_set_text(GTK_ENTRY(entry_formular), formula);
    user.actions.push_back([script](GtkDialog *d) { return script(GTK_WIDGET(d)); });
    if (!cell.empty())
      user.actions.push_back([cell](GtkDialog *d) {
        EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(d)), "Calculate V");
        const char *names[6] = {"entry_v_a",     "entry_v_b",    "entry_v_c",
                                "entry_v_alpha", "entry_v_beta", "entry_v_gamma"};
        // It starts from the job's cell, a new job's here.
        for (int i = 0; i < 6; ++i) {
          GtkWidget *entry = Named(GTK_WIDGET(d), names[i]);
          EXPECT_EQ(Text(entry), i < 3 ? "10.000000" : "90.000000");
          gtk_entry_set_text(GTK_ENTRY(entry), cell[i]);
        }
        return static_cast<int>(GTK_RESPONSE_ACCEPT);
      });
    gtk_button_clicked(GTK_BUTTON(Named(window_main, "btn_estimate_z")));
    EXPECT_EQ(user.asked.front(), "Estimate Z");
  }
  static double Number(GtkWidget *d, const char *name) {
    return std::atof(Text(Named(d, name)).c_str());
  }
  static void Set(GtkWidget *d, const char *name, const char *text) {
    gtk_entry_set_text(GTK_ENTRY(Named(d, name)), text);
  }
};

}  // namespace

TEST_F(EstimateZ, DensitiesAndZFollowEachOtherAndTheRangeOfZIsOffered) {
  // Rock salt: NaCl, 58.44 amu, a = 5.640 A, 4 formula units and a density
  // of 2.165 g/cm^3 in the handbooks.
  Run("Na1Cl1", [](GtkWidget *d) {
    GtkWidget *combo = Named(d, "combo_z");
    EXPECT_NEAR(Number(d, "entry_m"), 58.44, 0.01);
    gtk_button_clicked(GTK_BUTTON(Named(d, "btn_calculate_v")));
    EXPECT_NEAR(Number(d, "entry_v"), 179.41, 0.01);
    Set(d, "entry_z_min", "4");
    EXPECT_NEAR(Number(d, "entry_rho_min"), 2.165, 0.005);
    // A density typed gives Z, rounded up.
    Set(d, "entry_rho_max", "2.16");
    EXPECT_EQ(Text(Named(d, "entry_z_max")), "4");
    Set(d, "entry_rho_max", "2.7");
    EXPECT_EQ(Offered(combo), (std::vector<std::string>{"4", "5", "4"}));
    Screenshot(d, "estimate-z.png");
    // Not a number, or a range no one can choose from: marked, and no range.
    for (const char *bad : {"six", "1000000"}) {
      Set(d, "entry_z_max", bad);
      EXPECT_TRUE(entry_has_error(Named(d, "entry_z_max"))) << bad;
      EXPECT_EQ(Offered(combo), std::vector<std::string>{""}) << bad;
    }
    Set(d, "entry_rho_min", "1e9");
    EXPECT_TRUE(entry_has_error(Named(d, "entry_rho_min")));
    // The range either way round; an empty end is the other end.
    Set(d, "entry_z_min", "6");
    Set(d, "entry_z_max", "2");
    EXPECT_EQ(Offered(combo), (std::vector<std::string>{"2", "3", "4", "5", "6", "2"}));
    Set(d, "entry_z_max", "");
    EXPECT_EQ(Offered(combo), (std::vector<std::string>{"6", "6"}));
    Set(d, "entry_z_max", "5");
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 1);
    return static_cast<int>(GTK_RESPONSE_ACCEPT);
  }, {"5.640", "5.640", "5.640", "90", "90", "90"});
  // Accept writes the chosen Z into the page, which stores it.
  EXPECT_EQ(Text(entry_formular_z), "6");
  EXPECT_EQ(TheJob().config.formularZ, 6);
  EXPECT_EQ(file_changed_flag, 1);
}

TEST_F(EstimateZ, TheVolumeIsCalculatedOrTypedAndKept) {
  Run("Ca1F2", [](GtkWidget *d) {
    gtk_button_clicked(GTK_BUTTON(Named(d, "btn_calculate_v")));
    EXPECT_EQ(Text(Named(d, "entry_v")), "125.000000");
    return static_cast<int>(GTK_RESPONSE_CANCEL);
  }, {"5", "5", "5", "90", "90", "90"});
  // The next opening starts again from the job's cell; angles that span no
  // cell are said, and the volume stays. A volume typed is used (fluorite,
  // 78.07 amu, 4 units in 163.0 A^3: 3.18 g/cm^3); one that is none is
  // refused.
  user.answers.push_back(GTK_RESPONSE_OK);
  Run("Ca1F2", [&](GtkWidget *d) {
    gtk_button_clicked(GTK_BUTTON(Named(d, "btn_calculate_v")));
    EXPECT_EQ(Text(Named(d, "entry_v")), "1000.000");
    Set(d, "entry_v", "163.0");
    Set(d, "entry_v", "-5");
    EXPECT_TRUE(entry_has_error(Named(d, "entry_v")));
    Set(d, "entry_z_min", "4");
    EXPECT_NEAR(Number(d, "entry_rho_min"), 3.18, 0.005);
    return static_cast<int>(GTK_RESPONSE_CANCEL);
  }, {"5", "5", "5", "120", "120", "150"});
  EXPECT_TRUE(Logged("Calculate V: the angles alpha 120, beta 120, gamma 150 admit no cell; V "
                     "stays 1000.000000 A^3"));
}

TEST_F(EstimateZ, TheJobsCellGivesTheVolumeAndTheRangeFollowsIt) {
  // Scheelite, CaWO4: 287.9 amu, a = 5.2429, c = 11.3737 A, 312.6 A^3,
  // 6.12 g/cm^3 with its 4 formula units (13 in a cell of 1000 A^3).
  Open("examples/cawo4_scheelite/cawo4.epc");
  Run("Ca1W1O4", [](GtkWidget *d) {
    EXPECT_EQ(Text(Named(d, "entry_v")), "312.640");
    Set(d, "entry_rho_min", "5.5");
    Set(d, "entry_rho_max", "6.5");
    GtkWidget *combo = Named(d, "combo_z");
    EXPECT_EQ(Offered(combo), (std::vector<std::string>{"4", "5", "4"}));
    // A volume typed, or one calculated, recomputes Z from the densities:
    // a cell twice as large holds twice as many units.
    struct Case {
      const char *volume;
      std::vector<std::string> offered;
    };
    for (const Case &c : {Case{"625.28", {"8", "9", "8"}}, Case{"312.64", {"4", "5", "4"}}}) {
      Set(d, "entry_v", c.volume);
      EXPECT_EQ(Offered(combo), c.offered) << c.volume;
    }
    return static_cast<int>(GTK_RESPONSE_ACCEPT);
  });
  EXPECT_EQ(TheJob().config.formularZ, 4);
}
