"""Step-response grid of a model dictionary (the drawing behind plot_model_stp).

The plotting library is optional: without it nothing is computed or drawn.
Arguments arrive already checked by the compiled caller.
"""

import importlib.util


def plot_model_stp(yu_model, Ts, plotLen):
    if importlib.util.find_spec("matplotlib") is None:
        return
    from korvel.algorithm.plantmodels import get_model_stp, get_model_tags

    stp = get_model_stp(yu_model, Ts, plotLen)

    import matplotlib.pyplot as plt
    from matplotlib import gridspec

    plt.rcParams["font.sans-serif"] = ["SimHei"]
    plt.rcParams["axes.unicode_minus"] = False
    cv_tags, mv_tags = get_model_tags(yu_model)
    cv_num, mv_num = len(cv_tags), len(mv_tags)
    if cv_num == 0 or mv_num == 0:
        # No pair to draw: an empty grid cannot be laid out.
        return
    fig = plt.figure(figsize=(5 * mv_num, 5 * cv_num), facecolor="w", tight_layout=True)
    grid = gridspec.GridSpec(cv_num, mv_num)
    cell = 0
    for cv in cv_tags:
        for mv in mv_tags:
            ax = fig.add_subplot(grid[cell])
            response = stp[cv][mv]
            ax.plot(range(len(response)), response)
            ax.set_title(str(cv) + "-" + str(mv), fontsize=11)
            ax.grid(True)
            ax.tick_params(labelsize=15 if response else 0)
            cell += 1
    plt.show()
