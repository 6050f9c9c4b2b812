"""The subcommands of `kelmora`, one module each, named as the subcommand. Each defines
add_parser(subparsers) and run(args) and imports library modules only, never another command;
flags that several share are registered in `options`."""

# The subcommands in the order `kelmora --help` lists them.
NAMES = ("track", "eval", "tune", "plot", "video")
