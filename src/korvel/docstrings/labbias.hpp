// Docstrings of korvel.algorithm.labbias.
#pragma once

namespace korvel::docstrings::labbias {

inline constexpr const char module[] =
    R"doc(Soft-sensor bias correction from laboratory samples, and the laboratory-data recorder.

A soft sensor predicts a process variable every sample; laboratory
analyses of the same variable arrive rarely and carry the time at which
the sample was drawn. ``SoftSensorBiasUpdate`` corrects the prediction with
them: bias = laboratory value - prediction at the laboratory time, smoothed
by a first-order lag. ``LabDataRecorder`` appends every new laboratory
result to a CSV file. Both recognise a new result by the same change rule.
Times are wall-clock seconds since the epoch.
)doc";

inline constexpr const char SoftSensorBiasUpdate[] =
    R"doc(Bias correction of a soft sensor from laboratory samples.

Call ``run`` once per prediction sample with the current prediction and the
laboratory value and time as currently published (they stay the same
between analyses). The block keeps a time-stamped history of the
predictions; when a new laboratory result is recognised it looks up the
prediction that was valid at the laboratory sampling time and sets::

    bias = lab_data - prediction(lab_time)

``run`` returns the bias smoothed by the lag 1/(filter_tao*s + 1), stepped
once per call; the application adds it to its prediction. Messages begin
with the block name.

Parameters
----------
name : str, default 'softSensor'
    Block name, the prefix of every message; exactly a str.
filter_tao : float, default 5.0
    Time constant of the bias filter, in calls of ``run`` (the filter is
    discretised at one call per period); 0, less or NaN: no filter.
abs_threshold : float, default 1e-06
    Least change of the laboratory value that counts as a new result, and
    the tolerance of the "unchanged result" test.
prd_len : int, default 28800
    Length of the prediction history in samples, less one (28800 samples
    of one second are eight hours); exactly an int.
const_len : int, default 60
    Number of further calls a new laboratory value must stay constant
    before it is used (automatic detection); exactly an int.

Raises
------
TypeError
    ``name`` is not exactly a str, or ``prd_len`` or ``const_len`` not
    exactly an int ("Argument 'prd_len' has incorrect type (expected int,
    got bool)"); ``filter_tao`` or ``abs_threshold`` is not a real number.
ValueError
    ``prd_len`` is below -1 or ``const_len`` below -2 ("maxlen must be
    non-negative").

See Also
--------
LabDataRecorder : records the laboratory results themselves.
korvel.algorithm.tfblock.sFilter : the bias filter.

Notes
-----
Change rule (automatic detection). The block keeps the laboratory value
of the last ``const_len`` + 2 calls, x0 (oldest) ... xn. A new result is
recognised when::

    |x1 - x0| >= abs_threshold   and   |x(i+1) - xi| < 1e-6 for every i >= 1

that is, once, ``const_len`` calls after the value stepped, provided it
has not stepped again (a newer value starts its own count).

Update. A result whose value and time equal those of the last accepted
update (within ``abs_threshold`` and 0.1 s) is refused with the line
"<name>: Bias Update is not triggered, lab_data or lab_time is
unchanged.". Otherwise, when the laboratory time lies inside the kept
prediction history (both ends included), the prediction used is the
newest one stamped at or before the laboratory time; outside it nothing
changes.

The first call fills the prediction history with its prediction, stamped
60 s apart back from the prediction time, attempts an update and prints
"<name>: Bias Update is triggered by the first data.". The filtered bias
follows a step of the bias one call late: the first call returns 0.0,
the next (1 - exp(-1/filter_tao)) times the bias.

Examples
--------
>>> from korvel.algorithm.labbias import SoftSensorBiasUpdate
>>> t0 = 1_700_000_000.0  # seconds since the epoch
>>> sensor = SoftSensorBiasUpdate("AI101", prd_len=10, const_len=2)
>>> sensor.run(50.0, 52.0, lab_time=t0 - 30.0, prd_time=t0)
AI101: Bias Update is triggered by the first data.
0.0
>>> sensor.get_bias(), sensor.get_update_flag(), sensor.get_prd_data_at_labtime()
(2.0, True, 50.0)

A new analysis, 53.0 drawn at t0 + 30 s, is used two calls after it
appears. The prediction valid at t0 + 30 s is the one stamped t0, 50.0,
not the current one:

>>> flags = []
>>> for k in range(4):
...     _ = sensor.run(51.0, 53.0, lab_time=t0 + 30.0, prd_time=t0 + 60.0 * (k + 1))
...     flags.append(sensor.get_update_flag())
>>> flags, sensor.get_bias(), sensor.get_prd_data_at_labtime()
([False, False, True, False], 3.0, 50.0)
)doc";

inline constexpr const char run[] =
    R"doc(Take one prediction sample and return the bias, filtered when a filter exists.

Parameters
----------
prd_data : float
    The soft-sensor prediction of this sample.
lab_data : float
    The laboratory value as currently published.
lab_time : float
    The laboratory sampling time of that value, in seconds since the
    epoch.
prd_time : float or None, default None
    The time of the prediction in seconds since the epoch; None: the wall
    clock. Exactly a float: an int is refused. Prediction times must not
    decrease from call to call.
update_trigger : float or None, default None
    None: recognise new results automatically (see the class notes).
    A float: attempt an update on this call when it is above 0.5, never
    otherwise. Exactly a float.

Returns
-------
float
    The bias, through the bias filter when there is one (the filter is
    stepped on every call, whether or not the bias changed).

Raises
------
ValueError
    An argument is NaN or infinite, checked in the order of the
    parameters: "<name> Bias Update: prd_data is not finite!", then
    lab_data, lab_time, prd_time and update_trigger likewise; nothing
    changes.
TypeError
    ``prd_time`` or ``update_trigger`` is neither None nor exactly a float
    ("Argument 'prd_time' has incorrect type (expected float, got int)"),
    or another argument is not a real number; nothing changes.

Examples
--------
An explicit trigger; the second request repeats the accepted result and
is refused:

>>> from korvel.algorithm.labbias import SoftSensorBiasUpdate
>>> t0 = 1_700_000_000.0
>>> sensor = SoftSensorBiasUpdate("AI101", filter_tao=0.0, prd_len=10)
>>> sensor.run(10.0, 9.0, t0 + 999.0, prd_time=t0, update_trigger=0.0)
AI101: Bias Update is triggered by the first data.
0.0
>>> sensor.run(10.5, 9.0, t0, prd_time=t0 + 60.0, update_trigger=1.0)
-1.0
>>> sensor.run(10.5, 9.0, t0, prd_time=t0 + 120.0, update_trigger=1.0)
AI101: Bias Update is not triggered, lab_data or lab_time is unchanged.
-1.0
)doc";

inline constexpr const char update_bias[] = R"doc(Attempt one bias update from a laboratory result.

Refuses a result equal to the last accepted one (printing the "not
triggered" line); otherwise, when ``lab_time`` lies inside the prediction
history, sets the bias, the update flag and the last accepted result.
``run`` calls it when it attempts an update.

Parameters
----------
lab_data : float
    The laboratory value.
lab_time : float
    Its sampling time in seconds since the epoch.

Raises
------
IndexError
    Called before the first ``run``: the history is empty ("deque index
    out of range").
)doc";

inline constexpr const char get_name[] = R"doc(Return the block name.

Returns
-------
str
    The name given at construction, the prefix of every message.

Examples
--------
>>> from korvel.algorithm.labbias import SoftSensorBiasUpdate
>>> SoftSensorBiasUpdate("AI101").get_name()
'AI101'
)doc";

inline constexpr const char get_lab_data[] =
    R"doc(Return the laboratory value of the last accepted update.

Returns
-------
float
    NaN until an update has been accepted.

Examples
--------
>>> from korvel.algorithm.labbias import SoftSensorBiasUpdate
>>> SoftSensorBiasUpdate().get_lab_data()
nan
)doc";

inline constexpr const char get_lab_time[] =
    R"doc(Return the laboratory time of the last accepted update.

Returns
-------
float
    Seconds since the epoch; NaN until an update has been accepted.

Examples
--------
>>> from korvel.algorithm.labbias import SoftSensorBiasUpdate
>>> SoftSensorBiasUpdate().get_lab_time()
nan
)doc";

inline constexpr const char get_prd_data_at_labtime[] =
    R"doc(Return the prediction that the last accepted update used.

Returns
-------
float
    The prediction valid at the laboratory time; NaN until an update has
    been accepted.

Examples
--------
>>> from korvel.algorithm.labbias import SoftSensorBiasUpdate
>>> SoftSensorBiasUpdate().get_prd_data_at_labtime()
nan
)doc";

inline constexpr const char get_update_flag[] =
    R"doc(Tell whether the latest ``run`` updated the bias.

Returns
-------
bool
    True only for the call that accepted an update.

Examples
--------
>>> from korvel.algorithm.labbias import SoftSensorBiasUpdate
>>> SoftSensorBiasUpdate().get_update_flag()
False
)doc";

inline constexpr const char get_bias[] = R"doc(Return the bias, unfiltered.

Returns
-------
float
    Laboratory value minus the prediction at the laboratory time, of the
    last accepted update; 0.0 before any.

Examples
--------
>>> from korvel.algorithm.labbias import SoftSensorBiasUpdate
>>> SoftSensorBiasUpdate().get_bias()
0.0
)doc";

inline constexpr const char LabDataRecorder[] =
    R"doc(Recorder that appends each new laboratory result to a CSV file.

Call ``run`` once per sample with the laboratory value and time as
currently published. Each new result is recognised once, when it has
stayed constant long enough (the change rule of ``SoftSensorBiasUpdate``),
and appended with its sampling time to ``<csv_dir>/<name>_Raw_LabData.csv``.
The value present on the first call is never recorded. The directory is
created at construction; the file on the first export.

Parameters
----------
name : str, default 'softSensor'
    Recorder name: the prefix of messages and of the file name. Exactly a
    str, without a path separator or a NUL character.
abs_threshold : float, default 1e-06
    Least change of the laboratory value that counts as a new result.
const_len : int, default 60
    Number of further calls a new value must stay constant before it is
    recorded; exactly an int.
csv_dir : str or os.PathLike, default './'
    Directory of the CSV file, resolved to an absolute path (relative to
    the working directory); it is created with its parents when missing.

Raises
------
TypeError
    ``name`` is not exactly a str or ``const_len`` not exactly an int
    ("Argument 'const_len' has incorrect type (expected int, got float)"),
    or ``csv_dir`` is not a path.
ValueError
    ``name`` contains "/" or a NUL character ("a/b LabDataRecorder: name
    must not contain a path separator or a NUL character!"), cannot make a
    file name in ``csv_dir`` (too long, or not encodable: "<name>
    LabDataRecorder: name cannot make a file name in csv_dir!"; checked
    before anything is created), or ``const_len`` is below -2 ("maxlen
    must be non-negative").
OSError
    The directory cannot be created.

Notes
-----
The file is UTF-8 with line-feed line ends. The export that creates it
writes the header ``ExportTime,LabTime,LabData``; every record is the
local export time, the local laboratory time (whole seconds, rounded
down), both as "%Y-%m-%d %H:%M:%S", and the value as the shortest text
that reads back as the same float ('2.0', '1e-05').

Examples
--------
>>> import tempfile, time
>>> from korvel.algorithm.labbias import LabDataRecorder
>>> t0 = 1_700_000_000.0
>>> with tempfile.TemporaryDirectory() as folder:
...     recorder = LabDataRecorder("AI101", const_len=2, csv_dir=folder)
...     recorded = [recorder.run(v, t0 + 60.0 * k)
...                 for k, v in enumerate([5.0, 5.0, 6.0, 6.0, 6.0, 6.0])]
...     lines = recorder._csv_file.read_text(encoding="utf-8").splitlines()
>>> recorded
[False, False, False, False, True, False]
>>> lines[0], lines[1].split(",")[2]
('ExportTime,LabTime,LabData', '6.0')
>>> lines[1].split(",")[1] == time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(t0 + 240.0))
True
)doc";

inline constexpr const char rec_run[] =
    R"doc(Take one sample and record the laboratory value when it is a new result.

Parameters
----------
lab_data : float
    The laboratory value as currently published.
lab_time : float
    Its sampling time in seconds since the epoch; recorded with the value.

Returns
-------
bool
    True when this call appended a record to the file.

Raises
------
ValueError
    ``lab_data`` or ``lab_time`` is NaN or infinite ("<name>
    LabDataRecorder: lab_data is not finite!", then the same for
    lab_time); nothing changes.
OSError
    The file cannot be opened or written; the history has been updated, so
    that result will not be recorded later.

Examples
--------
>>> import tempfile
>>> from korvel.algorithm.labbias import LabDataRecorder
>>> with tempfile.TemporaryDirectory() as folder:
...     recorder = LabDataRecorder("AI101", const_len=0, csv_dir=folder)
...     [recorder.run(v, 1_700_000_000.0) for v in (1.0, 1.0, 2.0, 3.0)]
[False, False, True, True]
)doc";

inline constexpr const char export_lab_data_csv[] = R"doc(Append one record to the CSV file.

Writes the header first when the file does not exist yet; the file is
opened, appended and closed within the call. Called by ``run`` for every
new result, and callable directly.

Parameters
----------
lab_data : float
    The laboratory value (NaN and infinities are written nan, inf, -inf).
lab_time : float
    Its sampling time in seconds since the epoch.

Raises
------
OSError
    The file cannot be opened or written, with the operating system's own
    error (a full disk is ENOSPC, a file-size limit EFBIG); a symbolic
    link at the file's path (ELOOP) or anything else but a regular file
    ("Not a regular file") is refused. Nothing the file held is removed,
    and a record always starts a line of its own.

Examples
--------
>>> import tempfile
>>> from korvel.algorithm.labbias import LabDataRecorder
>>> with tempfile.TemporaryDirectory() as folder:
...     recorder = LabDataRecorder("AI101", csv_dir=folder)
...     recorder.export_lab_data_csv(1e-05, 1_700_000_000.0)
...     recorder.export_lab_data_csv(2, 1_700_000_000.0)
...     rows = recorder._csv_file.read_text(encoding="utf-8").splitlines()
>>> [row.split(",")[2] for row in rows]
['LabData', '1e-05', '2.0']
)doc";

} // namespace korvel::docstrings::labbias
