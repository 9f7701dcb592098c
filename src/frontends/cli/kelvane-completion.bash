# bash completion for kelvane: the mode switches, format ids after --convert <input>, compression
# levels after --compress <file>, folders for output operands, files elsewhere.

_kelvane() {
    local cur prev words cword
    _init_completion || return

    local formats="png jpeg jpg tiff bmp gif heic heif webp ico pdf_image avif svg psd tga jp2 jxl icns raw mp4 mov m4v avi webm mp3 aac m4a wav aiff alac flac pdf rtf txt html markdown docx epub zip tar gzip xz bz2 ttf otf woff woff2 csv tsv json srt vtt pdfPagePng pdfPageJpeg pdfSplit extractAudio"
    local levels="maximum high balanced small tiny"
    local modes="--convert --estimate --compress --mcp --test --seed-files --strip-metadata --help --version"

    # Position of the first mode switch with operands, and how far the cursor is past it.
    local i mode="" at=0
    for ((i = 1; i < cword; i++)); do
        case "${words[i]}" in
            --convert | --estimate | --compress)
                mode="${words[i]}"
                at=$i
                break
                ;;
        esac
    done
    local k=$((cword - at))

    case "$mode:$k" in
        --convert:1 | --estimate:1 | --compress:1)
            _filedir
            return
            ;;
        --convert:2)
            COMPREPLY=($(compgen -W "$formats" -- "$cur"))
            return
            ;;
        --compress:2)
            COMPREPLY=($(compgen -W "$levels" -- "$cur"))
            return
            ;;
        --convert:3 | --compress:3)
            _filedir -d
            return
            ;;
    esac

    if [[ "$cur" == -* ]]; then
        COMPREPLY=($(compgen -W "$modes" -- "$cur"))
    else
        _filedir
    fi
}
complete -F _kelvane kelvane
