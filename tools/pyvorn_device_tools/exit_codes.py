"""The exit statuses of every `vorn` command, in one place so that scripts can rely on them."""

OK = 0
FAILURE = 1  # the plug-in does not load, a call fails, a short transfer, data lost, a FAIL
USAGE = 2  # a bad argument (argparse's own status)
DROPS = 3  # `capture`: chunks were dropped (unless --allow-drops)
INTERRUPTED = 130  # Ctrl-C, whatever else happened

DESCRIPTION = f"""exit status:
  {OK:<4} success
  {FAILURE:<4} a failure: the plug-in does not load, a call returns Failure, a short transfer,
       a capture that got fewer bytes than asked or device errors, a FAIL of `vorn check`
  {USAGE:<4} a usage error
  {DROPS:<4} `capture` lost chunks to drops (unless --allow-drops)
  {INTERRUPTED:<4} interrupted with Ctrl-C"""
