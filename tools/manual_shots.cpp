// SPDX-License-Identifier: BSD-3-Clause
// pulvina-manual-shots: the screenshots of the HTML manual, taken from the
// real program while it solves the bundled scheelite example. Run it
// through tools/make-manual-screenshots.sh, which starts Xvfb.
//
//   pulvina-manual-shots OUTPUT_FOLDER
#include <glib/gstdio.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "CrystalJobs.h"
#include "CrystalMain.h"
#include "PatternImport.h"
#include "trackball.h"

namespace {

std::string outputFolder;
int failures = 0;

bool SpinUntil(const std::function<bool()> &cond, double seconds) {
  return spin_main_loop_until(cond, seconds);
}

void SpinFor(double seconds) {
  SpinUntil([] { return false; }, seconds);
  gdk_window_process_all_updates();
}

bool Idle() { return !job_worker_running(); }

// The job, set up between background jobs (the access is let go at once:
// no worker starts before the next action).
Job &TheJob() {
  JobAccess access;
  if (!access) {
    std::fprintf(stderr, "pulvina-manual-shots: a worker holds the job\n");
    std::exit(1);
  }
  return *access;
}

GtkAction *Action(const char *name) {
  for (GList *g = gtk_ui_manager_get_action_groups(uimanager_main); g; g = g->next)
    if (GtkAction *a = gtk_action_group_get_action(GTK_ACTION_GROUP(g->data), name)) return a;
  std::fprintf(stderr, "pulvina-manual-shots: no action %s\n", name);
  std::exit(1);
}

void Shot(GtkWidget *window, const char *name) {
  gdk_window_raise(window->window);
  SpinFor(0.4);
  const int width = window->allocation.width, height = window->allocation.height;
  GdkPixbuf *shot = gdk_pixbuf_get_from_drawable(nullptr, window->window, nullptr, 0, 0, 0, 0,
                                                 width, height);
  if (!shot) {
    std::fprintf(stderr, "pulvina-manual-shots: cannot read back %s\n", name);
    ++failures;
    return;
  }
  GtkWidget *view = GTK_WIDGET(crystal_3d_view);
  if (gtk_widget_get_toplevel(view) == window && gtk_widget_get_mapped(view)) {
    GdkPixbuf *scene = gtk_crystal_3d_view_get_image(crystal_3d_view);
    gint x = 0, y = 0;
    if (scene && gtk_widget_translate_coordinates(view, window, 0, 0, &x, &y)) {
      const int w = std::min(gdk_pixbuf_get_width(scene), width - x);
      const int h = std::min(gdk_pixbuf_get_height(scene), height - y);
      if (w > 0 && h > 0) gdk_pixbuf_copy_area(scene, 0, 0, w, h, shot, x, y);
    }
    if (scene) g_object_unref(scene);
  }
  const std::string path = outputFolder + "/" + name;
  GError *error = nullptr;
  if (!gdk_pixbuf_save(shot, path.c_str(), "png", &error, "compression", "9", nullptr)) {
    std::fprintf(stderr, "pulvina-manual-shots: %s: %s\n", path.c_str(),
                 error ? error->message : "cannot write");
    g_clear_error(&error);
    ++failures;
  } else {
    std::printf("%s\n", path.c_str());
  }
  g_object_unref(shot);
}

void Fail(const char *what) {
  std::fprintf(stderr, "pulvina-manual-shots: %s\n", what);
  ++failures;
}

// A widget inside root by its builder id or by the name a dialog built in
// code gives it.
GtkWidget *Named(GtkWidget *root, const char *name) {
  const char *id = GTK_IS_BUILDABLE(root) ? gtk_buildable_get_name(GTK_BUILDABLE(root)) : nullptr;
  if ((id && std::strcmp(id, name) == 0) || std::strcmp(gtk_widget_get_name(root), name) == 0)
    return root;
  if (!GTK_IS_CONTAINER(root)) return nullptr;
  GList *children = gtk_container_get_children(GTK_CONTAINER(root));
  GtkWidget *found = nullptr;
  for (GList *c = children; c && !found; c = c->next) found = Named(GTK_WIDGET(c->data), name);
  g_list_free(children);
  return found;
}

// The next modal dialog: shown, arranged by the given steps, taken as a
// picture and answered. Dialogs nobody expects are answered No.
std::function<void()> arrange;
const char *dialogShot = nullptr;
int dialogAnswer = GTK_RESPONSE_NO;

void ShootNextDialog(const char *name, int answer, std::function<void()> steps = nullptr) {
  dialogShot = name;
  dialogAnswer = answer;
  arrange = std::move(steps);
}

int AnswerDialog(GtkDialog *dialog) {
  if (!dialogShot) return GTK_RESPONSE_NO;
  const char *name = dialogShot;
  dialogShot = nullptr;
  gtk_widget_show(GTK_WIDGET(dialog));
  if (arrange) arrange();
  arrange = nullptr;
  Shot(GTK_WIDGET(dialog), name);
  return dialogAnswer;
}

void Type(GtkWidget *root, const char *name, const char *text) {
  if (GtkWidget *entry = Named(root, name))
    gtk_entry_set_text(GTK_ENTRY(entry), text);
  else
    Fail(name);
}

// A modal dialog as the user sees it while it runs.
void ShotDialog(GtkDialog *dialog, const char *name) {
  gtk_widget_show(GTK_WIDGET(dialog));
  SpinFor(0.8);
  gdk_window_invalidate_rect(GTK_WIDGET(dialog)->window, nullptr, TRUE);
  Shot(GTK_WIDGET(dialog), name);
}

std::string Title(GtkDialog *dialog) {
  const gchar *title = gtk_window_get_title(GTK_WINDOW(dialog));
  return title ? title : "";
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "Usage: pulvina-manual-shots OUTPUT_FOLDER\n");
    return 2;
  }
  outputFolder = argv[1];
  g_mkdir_with_parents(outputFolder.c_str(), 0755);
  // The windows' places of a fresh user, not of whoever runs this.
  gchar *home = g_dir_make_tmp("pulvina-shots-XXXXXX", nullptr);
  setenv("XDG_CONFIG_HOME", home, 1);
  pulvina_init_threads();
  if (!gtk_init_check(&argc, &argv)) {
    std::fprintf(stderr, "pulvina-manual-shots: no display; run under xvfb-run\n");
    return 1;
  }
  programOptions.dataDirectory = std::string(PULVINA_SOURCE_DIR) + "/data";
  programOptions.settings.threads = 1;
  programOptions.settings.annealingLog = nullptr;
  programOptions.settings.seed = 1;
  programOptions.haveSeed = true;
  gdk_threads_enter();
  if (!pulvina_open_windows()) return 1;
  reset_job_settings();
  // Answers a user would give: only the dialogs taken as pictures.
  testHooks.dialog = AnswerDialog;
  gtk_window_move(GTK_WINDOW(window_main), 0, 0);
  gtk_window_resize(GTK_WINDOW(window_main), 1000, 740);
  SpinFor(0.5);
  Shot(window_main, "start.png");

  const std::string example =
      std::string(PULVINA_SOURCE_DIR) + "/examples/cawo4_scheelite/cawo4.epc";
  if (!open_job_file(example)) Fail("cannot open the example");
  SpinFor(0.3);
  Shot(window_main, "composition.png");
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_epc), 1);
  Shot(window_main, "space-group.png");
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_epc), 2);
  // The restraints of oxygen, the third element.
  GtkTreePath *oxygen = gtk_tree_path_new_from_string("3");
  gtk_tree_view_set_cursor(GTK_TREE_VIEW(treeview_comb_elements), oxygen, nullptr, FALSE);
  gtk_tree_path_free(oxygen);
  Shot(window_main, "restraints.png");

  // Estimate Z for scheelite's cell and a density range around its 6.1
  // g/cm^3, with the volume calculated from the cell; nothing is accepted.
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_epc), 0);
  SpinFor(0.2);
  testHooks.dialog = [](GtkDialog *dialog) {
    GtkWidget *d = GTK_WIDGET(dialog);
    if (Title(dialog) == "Calculate V") {
      Type(d, "entry_v_a", "5.243");
      Type(d, "entry_v_b", "5.243");
      Type(d, "entry_v_c", "11.376");
      ShotDialog(dialog, "calculate-v.png");
      return static_cast<int>(GTK_RESPONSE_ACCEPT);
    }
    if (Title(dialog) != "Estimate Z") return static_cast<int>(GTK_RESPONSE_NO);
    if (GtkWidget *calculate = Named(d, "btn_calculate_v"))
      gtk_button_clicked(GTK_BUTTON(calculate));
    else
      Fail("btn_calculate_v");
    Type(d, "entry_rho_min", "5.5");
    Type(d, "entry_rho_max", "6.5");
    ShotDialog(dialog, "estimate-z.png");
    return static_cast<int>(GTK_RESPONSE_CANCEL);
  };
  if (GtkWidget *estimate = Named(window_main, "btn_estimate_z"))
    gtk_button_clicked(GTK_BUTTON(estimate));
  else
    Fail("btn_estimate_z");

  testHooks.dialog = AnswerDialog;

  // The experiment and the peak file as they came with the job.
  ShootNextDialog("experiment.png", GTK_RESPONSE_CLOSE);
  gtk_action_activate(Action("action_experiment_parameters"));
  ShootNextDialog("peak-file.png", GTK_RESPONSE_OK,
                  [] { gtk_window_resize(GTK_WINDOW(dlg_peak_file), 1000, 560); });
  gtk_action_activate(Action("action_peak_file"));
  if (file_changed_flag) Fail("looking at the dialogs changed the job");
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_epc), 2);

  gtk_button_clicked(GTK_BUTTON(btn_generate_models));
  if (!SpinUntil(Idle, 60)) Fail("generation did not end");
  SpinFor(0.3);
  Shot(window_main, "models.png");

  // A statistic test long enough to be seen running.
  const int32_t trials = TheJob().config.statisticCircles;
  TheJob().config.statisticCircles = 200000;
  gtk_action_activate(action_statistic_test_start);
  SpinUntil([] {
    return std::string(gtk_label_get_text(GTK_LABEL(lbl_statistic_splash_info)))
               .find("Model #2") != std::string::npos;
  }, 60);
  Shot(window_statistic_splash, "statistic-running.png");
  if (!SpinUntil(Idle, 600)) Fail("the statistic test did not end");
  TheJob().config.statisticCircles = trials;
  SpinFor(0.3);
  Shot(window_main, "statistic-finished.png");
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_statistic), 2);
  Shot(window_main, "statistic-settings.png");
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_statistic), 4);

  // The model list's dialogs, on the true structure (model 2).
  GtkTreePath *second = gtk_tree_path_new_from_indices(1, -1);
  gtk_tree_view_set_cursor(GTK_TREE_VIEW(treeview_models), second, nullptr, FALSE);
  gtk_tree_path_free(second);
  ShootNextDialog("model-details.png", GTK_RESPONSE_CLOSE, [] {
    GtkWidget *expand = Named(dlg_model_details, "btn_expand_model_validiation");
    if (expand) gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(expand), TRUE);
    gtk_action_activate(action_check_model_bl_validity);
    gtk_window_resize(GTK_WINDOW(dlg_model_details), 640, 700);
  });
  gtk_action_activate(Action("action_model_details"));
  ShootNextDialog("model-statistic.png", GTK_RESPONSE_CLOSE);
  gtk_action_activate(Action("action_model_statistic"));
  ShootNextDialog("bond-length-minima.png", GTK_RESPONSE_CLOSE);
  gtk_action_activate(Action("action_bond_length_constraint"));
  ShootNextDialog("fixed-coordinates.png", GTK_RESPONSE_CANCEL, [] {
    // What a user fixing the height of oxygen would see.
    gtk_action_activate(Action("action_fixed_coordinate_add"));
    GtkTreeIter row;
    gtk_tree_model_get_iter_first(GTK_TREE_MODEL(ls_fixed_coordinates), &row);
    gtk_list_store_set(ls_fixed_coordinates, &row, 0, "O", 1, -2, 2, "16 f", 7, TRUE, 8, 0.04,
                       -1);
  });
  gtk_action_activate(Action("action_fixed_coordinates_models"));
  file_changed_flag = 0;

  gtk_toggle_action_set_active(toggleaction_factor_plots_window, TRUE);
  gtk_window_move(GTK_WINDOW(window_factor_plots), 700, 0);
  gtk_window_resize(GTK_WINDOW(window_factor_plots), 560, 600);
  SpinFor(0.3);
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_factor_plots), 0);
  gdk_threads_add_timeout(0, update_model_factors_plot, nullptr);
  SpinFor(0.3);
  Shot(window_factor_plots, "model-factors.png");

  // The choice of models, all of them...
  ShootNextDialog("choose-models.png", GTK_RESPONSE_ACCEPT);
  gtk_action_activate(Action("action_choose_opt_models"));
  SpinFor(0.3);
  Shot(window_main, "optimisation-output.png");
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_opt), 1);
  Shot(window_main, "optimisation-method.png");
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_opt), 2);
  ShootNextDialog("optimisation-parameters.png", GTK_RESPONSE_CLOSE);
  gtk_action_activate(Action("action_opt_parameters"));

  // ...first annealed with a schedule long enough to watch (the
  // Optimisation Parameters dialog's choice) and stopped...
  gtk_action_activate(action_goto_opt);
  const Config bundled = TheJob().config;
  TheJob().config.autoGridSearch = 0;
  TheJob().config.tradiSaCycles = 1;
  TheJob().config.tradiSaMoves = 2000000000;
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_opt), 3);
  gtk_toggle_action_set_active(toggleaction_peak_plots_window, TRUE);
  gtk_toggle_action_set_active(toggleaction_3d_view_window, TRUE);
  gtk_window_move(GTK_WINDOW(window_peak_plots), 420, 560);
  gtk_window_resize(GTK_WINDOW(window_peak_plots), 720, 400);
  gtk_window_move(GTK_WINDOW(window_3d_view), 0, 480);
  gtk_window_resize(GTK_WINDOW(window_3d_view), 440, 520);
  SpinFor(0.3);
  gtk_action_activate(action_solve_structures);
  if (!SpinUntil([] { return factor_serial && factor_serial->count == kHistoryCapacity; }, 60))
    Fail("solving shows no progress");
  SpinFor(2.0);
  Shot(window_main, "solving.png");
  Shot(window_factor_plots, "factor-plots.png");
  Shot(window_peak_plots, "peak-plots.png");
  // Turned a little, so that all three cell edges show.
  double qx[4], qy[4], axis[3] = {1, 0, 0};
  axis_to_quat(axis, -0.5, qx);
  vset(axis, 0, 1, 0);
  axis_to_quat(axis, 0.45, qy);
  add_quats(qy, qx, crystal_3d_view->rotation);
  gtk_crystal_3d_view_update(crystal_3d_view);
  Shot(window_3d_view, "3d-view.png");
  gtk_action_activate(action_solve_structures_stop);
  if (!SpinUntil(Idle, 30)) Fail("solving did not stop");

  // ...then solved to the end with the bundled job's own settings.
  TheJob().config = bundled;
  gtk_action_activate(action_goto_opt);
  gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_opt), 3);
  gtk_action_activate(action_solve_structures);
  if (!SpinUntil(Idle, 600)) Fail("solving did not end");
  // Sorted by the best Bragg factor, as one would look at the result.
  gtk_tree_sortable_set_sort_column_id(GTK_TREE_SORTABLE(ls_opt_models), 4, GTK_SORT_ASCENDING);
  GtkTreePath *top = gtk_tree_path_new_first();
  gtk_tree_view_set_cursor(GTK_TREE_VIEW(treeview_opt_models), top, nullptr, FALSE);
  gtk_tree_path_free(top);
  SpinFor(0.5);
  Shot(window_main, "solved.png");
  ShootNextDialog("choose-refinement.png", GTK_RESPONSE_ACCEPT);
  gtk_action_activate(Action("action_choose_refine_models"));
  SpinFor(0.3);
  Shot(window_main, "refinement-method.png");

  // A measured pattern imported: the beta-Si3N4 job of the tests, in a
  // folder of its own, fitted while the picture is taken, then its end.
  {
    const std::string from =
        std::string(PULVINA_SOURCE_DIR) + "/tests/data/patterns/beta_si3n4_xray_cu/";
    const std::string folder = std::string(home) + "/si3n4";
    g_mkdir(folder.c_str(), 0755);
    for (const char *name : {"job.epc", "reference-peaks.hkl", "pattern.xye"}) {
      gchar *text = nullptr;
      gsize length = 0;
      if (!g_file_get_contents((from + name).c_str(), &text, &length, nullptr) ||
          !g_file_set_contents((folder + "/" + name).c_str(), text, length, nullptr))
        Fail("cannot copy the beta-Si3N4 job");
      g_free(text);
    }
    testHooks.fileDialog = [&folder](GtkFileChooser *, std::string *file) {
      *file = folder + "/job.epc";
      return static_cast<int>(GTK_RESPONSE_ACCEPT);
    };
    // Close the solved job (yes), unsaved (no).
    int asked = 0;
    testHooks.dialog = [&asked](GtkDialog *) {
      return static_cast<int>(++asked == 1 ? GTK_RESPONSE_YES : GTK_RESPONSE_NO);
    };
    gtk_action_activate(action_file_open);
    testHooks.dialog = AnswerDialog;
    testHooks.fileDialog = [&folder](GtkFileChooser *, std::string *file) {
      *file = folder + "/pattern.xye";
      return static_cast<int>(GTK_RESPONSE_ACCEPT);
    };
    gtk_action_activate(Action("action_import_pattern"));
    GtkWidget *importWindow = nullptr;
    GList *windows = gtk_window_list_toplevels();
    for (GList *l = windows; l; l = l->next) {
      const char *title = gtk_window_get_title(GTK_WINDOW(l->data));
      if (title && std::strcmp(title, "Import Measured Pattern") == 0)
        importWindow = GTK_WIDGET(l->data);
    }
    g_list_free(windows);
    if (!importWindow) {
      Fail("no import window");
    } else {
      // The first drawing of the fit, while it runs.
      SpinUntil(
          [] {
            return Idle() ||
                   (patternImportWindow.plot && !patternImportWindow.plot->serials.empty() &&
                    patternImportWindow.plot->serials.front()->count > 0);
          },
          60);
      if (Idle()) Fail("the import ended before its picture");
      Shot(importWindow, "import-pattern.png");
      if (!SpinUntil(Idle, 300)) Fail("the import did not end");
      SpinFor(0.5);
      Shot(importWindow, "import-pattern-result.png");
      gtk_widget_hide(importWindow);
    }
    for (const char *name :
         {"job.epc", "reference-peaks.hkl", "pattern.xye", "beta_si3n4_xray_cu.hkl"})
      g_remove((folder + "/" + name).c_str());
    g_rmdir(folder.c_str());
  }

  testHooks.dialog = [](GtkDialog *) { return static_cast<int>(GTK_RESPONSE_NO); };
  pulvina_close_windows();
  gdk_threads_leave();
  const std::string config = std::string(home) + "/pulvina/config";
  g_remove(config.c_str());
  g_rmdir((std::string(home) + "/pulvina").c_str());
  g_rmdir(home);
  g_free(home);
  return failures ? 1 : 0;
}
