# The folders of the pack's modules, in build order: the one place a new
# module's folder is named. The top-level build and the fuzz project both
# add them. Which plug-ins ship is said by the folders themselves
# (se_add_plugin ... DELIVERABLE); everything that visits the pack's
# plug-ins reads that record, not this list.
set(SE_MODULE_DIRS
    pulse_counter
    edge_detect
    pitch_adjust
    midi_choice
    cv_to_rpn
    panel_switch
    bool_volts
    patch_pulse)
