! Reads a field dump through the compiler's own unformatted sequential I/O,
! which follows records split into subrecords as it wrote them, and copies
! what it read to a stream file: each block's extents and values, then the
! three axes. The tests compare that copy with the values they wrote, so
! that a dump written by dorvo.quickio is proven readable by Fortran.
!   read_dump DUMP OUT
program read_dump
  implicit none
  character(len=4096) :: dump, out
  integer :: u, v, nparam, iy, iz, ext(3), n(3), i
  integer, allocatable :: ipar(:)
  real(4), allocatable :: rpar(:), values(:)

  call get_command_argument(1, dump)
  call get_command_argument(2, out)
  open (newunit=u, file=trim(dump), form='unformatted', access='sequential', status='old')
  open (newunit=v, file=trim(out), form='unformatted', access='stream', status='replace')
  read (u) nparam
  allocate (ipar(0:nparam - 1), rpar(0:nparam - 1))
  read (u) ipar
  read (u) rpar
  do iz = 1, ipar(1)
    do iy = 1, ipar(0)
      read (u) ext
      allocate (values(int(ext(1), 8) * ext(2) * ext(3)))
      read (u) values
      write (v) ext, values
      deallocate (values)
    end do
  end do
  n = [ipar(3), ipar(4), ipar(6)]
  do i = 1, 3
    allocate (values(n(i)))
    read (u) values
    write (v) values
    deallocate (values)
  end do
  close (u)
  close (v)
end program read_dump
